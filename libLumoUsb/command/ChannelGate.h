// ChannelGate: what the command channel needs to know of its camera's
// lifecycle. The camera keeps one state (camera/LifecycleState.h); the
// channel only reads it through this view, before a call starts and
// whenever a wait wakes, so that a close or an unplug ends its calls.
#pragma once

namespace lumo::command {

class ChannelGate {
 public:
  virtual ~ChannelGate() = default;
  // The camera is open for its callers (also while it is away).
  virtual bool IsOpen() const = 0;
  // The camera's device has gone and has not been attached again.
  virtual bool IsAway() const = 0;
};

// The gate of a channel that belongs to no camera: always closed.
const ChannelGate& ClosedGate();

}  // namespace lumo::command
