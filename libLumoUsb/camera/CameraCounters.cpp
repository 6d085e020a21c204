#include "camera/CameraCounters.h"

#include "camera/CameraState.h"

namespace lumo::camera {

namespace {

std::uint64_t Read(const Counter& counter) { return counter.load(std::memory_order_relaxed); }

}  // namespace

LumoCameraStatistics ReadStatistics(const CameraState& state) {
  const CameraCounters& counters = state.counters;
  LumoCameraStatistics statistics{};
  statistics.framesCompleted = Read(counters.framesCompleted);
  statistics.framesLostNoBuffer = Read(counters.framesLostNoBuffer);
  statistics.framesLostQueueFull = Read(counters.framesLostQueueFull);
  statistics.framesIncomplete = Read(counters.framesIncomplete);
  statistics.blocksReceived = Read(counters.blocksReceived);
  statistics.bytesReceived = Read(counters.bytesReceived);
  statistics.transferErrors = Read(counters.transferErrors);
  statistics.commandCheckErrors = Read(state.channel.checkByteErrors);
  statistics.commandTimeouts = Read(state.channel.answerTimeouts);
  statistics.removals = Read(counters.removals);
  statistics.reattaches = Read(counters.reattaches);
  return statistics;
}

}  // namespace lumo::camera
