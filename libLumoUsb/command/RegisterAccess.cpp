#include "command/RegisterAccess.h"

#include <algorithm>
#include <cstring>

#include "command/CommandChannel.h"
#include "command/CommandFrame.h"
#include "command/CommandTransport.h"
#include "usb/ControlEndPoint.h"

namespace lumo::command {

namespace {

// Encodes and sends one register frame. The transfer's own result is not
// looked at: a lost request shows as a missing answer.
bool SendRegisterFrame(CommandChannel& state, std::uint32_t address, const std::uint8_t* data,
                       std::int64_t length, int type) {
  std::uint8_t encoded[kFrameBufferSize] = {};
  std::int64_t size = length;
  if (EncodeCommandFrame(encoded, static_cast<std::int32_t>(address), data, &size, type) == 0)
    return false;
  std::uint32_t sent = static_cast<std::uint32_t>(size);
  state.commandEndpoint->WriteSync(CommandSetup(false, kCommandTimeoutMs), encoded, &sent);
  state.pollPacer.RequestSent();
  return true;
}

// Copies the stored answer for `address`, at most `capacity` bytes.
void CopyAnswer(CommandChannel& state, std::uint32_t address, std::uint8_t* destination,
                std::size_t capacity) {
  std::lock_guard<std::mutex> lock(state.responseLock);
  const std::vector<std::uint8_t>& answer = state.responseStore[address];
  const std::size_t count = std::min(capacity, answer.size());
  if (count && destination) std::memcpy(destination, answer.data(), count);
}

}  // namespace

CommandClock::time_point DeadlineAfter(std::int32_t timeoutMs) {
  return CommandClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

CommandTurn TakeCommandTurn(CommandChannel& state, CommandClock::time_point deadline) {
  CommandTurn turn(state.commandLock, std::defer_lock);
  if (!turn.try_lock_until(deadline)) return turn;
  // The camera may have been closed or unplugged while this caller waited.
  if (!state.isOpen.load() || state.removed.load()) turn.unlock();
  return turn;
}

void ExpectResponse(CommandChannel& state, std::uint32_t address) {
  std::lock_guard<std::mutex> lock(state.responseLock);
  state.responseArrived = false;
  state.awaitedAddress = address;
}

bool AwaitResponse(CommandChannel& state, CommandClock::time_point deadline) {
  bool arrived = false;
  {
    std::unique_lock<std::mutex> lock(state.responseLock);
    // Closing or unplugging the camera ends the wait at once.
    state.responseCondition.wait_until(lock, deadline, [&] {
      return state.responseArrived || !state.isOpen.load() || state.removed.load();
    });
    arrived = state.responseArrived;
  }
  state.pollPacer.AnswerTaken();
  return arrived;
}

bool WriteRegister(CommandChannel& state, std::int64_t address, std::uint8_t* data,
                   std::int32_t length, std::int32_t timeoutMs) {
  if (!state.isOpen.load() || state.removed.load()) return false;
  if (length < 0 || length > kMaxRegisterWrite || (length > 0 && !data)) return false;
  const auto deadline = DeadlineAfter(timeoutMs);
  CommandTurn turn = TakeCommandTurn(state, deadline);
  if (!turn.owns_lock() || state.removed.load() || !state.commandEndpoint) return false;
  const auto registerAddress = static_cast<std::uint32_t>(address);
  ExpectResponse(state, registerAddress);
  if (!SendRegisterFrame(state, registerAddress, data, length, kFrameRegisterWrite)) return false;
  if (!AwaitResponse(state, deadline)) return false;
  CopyAnswer(state, registerAddress, data, static_cast<std::size_t>(length));
  return true;
}

bool ReadRegister(CommandChannel& state, std::int64_t address, std::uint8_t* destination,
                  std::int32_t length, std::int32_t timeoutMs) {
  // A detached camera has no response reader: no answer could come.
  if (!state.isOpen.load() || state.removed.load()) return false;
  if (length < 0 || (length > 0 && !destination)) return false;
  const auto deadline = DeadlineAfter(timeoutMs);
  CommandTurn turn = TakeCommandTurn(state, deadline);
  if (!turn.owns_lock() || !state.commandEndpoint) return false;
  const auto registerAddress = static_cast<std::uint32_t>(address);
  ExpectResponse(state, registerAddress);
  SendRegisterFrame(state, registerAddress, nullptr, 0, kFrameRegisterRead);
  if (!AwaitResponse(state, deadline)) return false;
  CopyAnswer(state, registerAddress, destination, static_cast<std::size_t>(length));
  return true;
}

}  // namespace lumo::command
