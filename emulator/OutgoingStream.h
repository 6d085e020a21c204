// The camera's outgoing byte stream on the command channel: encoded frames
// (and whatever else tests put there) waiting for the host's IN transfers,
// and where those transfers cut it.
//
// Bytes are queued in segments, each with the time from which it may be
// sent. An IN transfer takes bytes from the segments that are due, oldest
// first; a segment not yet due is passed over, so later segments overtake
// it. A segment once started is finished before any other is begun, so a
// frame is never interleaved with another. Not thread-safe: the firmware
// guards it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "lumo/emulator/CameraFirmware.h"

namespace lumo::emulator {

class OutgoingStream {
 public:
  using Clock = std::chrono::steady_clock;

  void Push(std::vector<std::uint8_t> bytes, Clock::time_point due);
  // The bytes one IN transfer of length `requested` returns at `now`.
  std::vector<std::uint8_t> Take(std::size_t requested, Clock::time_point now);

  void SetSplit(const InSplit& split);
  std::size_t Queued() const;
  // When the last segment not yet begun comes due; the clock's minimum when
  // none is waiting.
  Clock::time_point LastDue() const;
  void Clear();

 private:
  struct Segment {
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
    Clock::time_point due;
  };

  std::size_t Limit(std::size_t requested);

  std::deque<Segment> segments_;
  InSplit split_;
  std::mt19937 random_{1};
};

}  // namespace lumo::emulator
