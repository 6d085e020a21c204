// CameraCounters: what a camera's stream has done since the camera object
// was built, and how often it left and came back. Each counter has one
// writer thread and is read by callers at any time; increments are relaxed,
// since a reader wants each number on its own and orders nothing by it.
// The counters of each writer share a cache line of their own, so that the
// image reader and the frame assembler do not bounce one line between them.
#pragma once

#include <atomic>
#include <cstdint>

#include "lumo/CameraStatistics.h"

namespace lumo::camera {

using Counter = std::atomic<std::uint64_t>;

inline void Count(Counter& counter, std::uint64_t n = 1) {
  counter.fetch_add(n, std::memory_order_relaxed);
}

struct CameraCounters {
  // The image reader's.
  alignas(64) Counter bytesReceived{0};
  Counter transferErrors{0};
  // The frame assembler's.
  alignas(64) Counter blocksReceived{0};
  Counter framesCompleted{0};
  Counter framesLostNoBuffer{0};
  Counter framesLostQueueFull{0};
  Counter framesIncomplete{0};
  // Changed under the camera's lifecycle lock.
  alignas(64) Counter removals{0};
  Counter reattaches{0};
};

struct CameraState;

// The camera's statistics as callers read them: the stream counters and the
// command channel's.
LumoCameraStatistics ReadStatistics(const CameraState& state);

}  // namespace lumo::camera
