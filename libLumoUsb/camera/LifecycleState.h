// LifecycleState: the one state of a camera's lifecycle, read and changed
// only here. Every other view of it (open, away, acquisition requested,
// attached) is derived from it.
//
//              Open()                  StartAcquisition()
//   Closed ----------------> Open ----------------------> Acquiring
//    |  ^ <----------------  |  ^ <----------------------  |  ^
//    |  |      Close()       |  |    StopAcquisition()     |  |
//    |  |                    |  |                          |  | Reattach()
//    |  | Close() from       |  | Reattach()               |  | (run resumed)
//    |  | Acquiring too      |  |                          |  |
//    |  |             unplug v  |                   unplug v  |
//    |  |               AwayOpen <------------------- AwayAcquiring
//    |  |                  |       StopAcquisition()       |
//    |  |                  | Close()               Close() |
//    |  |                  v                               |
//    |  +------------- ClosedAway <------------------------+
//    |      Open()         ^
//    |   (device back)     |
//    +---------------------+
//          unplug (the manager drops the camera)
//
// Reattach() of AwayAcquiring whose start request is refused leads to Open.
// Closed or ClosedAway -> Dropped when the manager drops the camera after
// its device left (Retire()): a dropped camera never opens again, so that
// an open racing with the drop cannot leave an open camera nobody finds.
//
// - Closed: registered, device closed, nothing runs.
// - Open: device open, the response reader runs.
// - Acquiring: device open, the response reader and both stream threads run.
// - AwayOpen / AwayAcquiring: the device went while the camera was open
//   (acquiring); nothing runs, the handle stays valid and calls fail at
//   once. Acquisition resumes when the device returns.
// - ClosedAway: closed while away, or unplugged while closed (a camera the
//   manager drops); opening it needs the device back.
// - Dropped: taken out of the registry; it ends there.
//
// Transitions are checked: a change that does not start from one of its
// allowed states is refused and changes nothing. The camera's lifecycle lock
// serialises Open, Close, Start, Stop and Reattach; BeginRemoval may move a
// camera away at any moment, also while one of those runs, which is why the
// changes are compare-and-swap steps on one atomic value.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "command/ChannelGate.h"

namespace lumo::camera {

enum class Phase : std::uint8_t {
  kClosed,
  kOpen,
  kAcquiring,
  kAwayOpen,
  kAwayAcquiring,
  kClosedAway,
  kDropped,
};

// The name of a phase, for messages and tests.
const char* PhaseName(Phase phase);

class LifecycleState final : public command::ChannelGate {
 public:
  Phase Load() const { return phase_.load(std::memory_order_acquire); }

  // Views.
  bool IsOpen() const override { return IsOpenPhase(Load()); }
  bool IsAway() const override { return IsAwayPhase(Load()); }
  // Acquisition was started and not stopped (it may be waiting for the
  // device to return).
  bool AcquisitionRequested() const {
    const Phase phase = Load();
    return phase == Phase::kAcquiring || phase == Phase::kAwayAcquiring;
  }
  // Open and attached: the device is there for the camera's calls.
  bool Attached() const {
    const Phase phase = Load();
    return phase == Phase::kOpen || phase == Phase::kAcquiring;
  }

  // The checked changes; each returns false, changing nothing, when the
  // camera is in none of the phases it starts from.
  // Closed or ClosedAway -> Open.
  bool Opened() { return Move({Phase::kClosed, Phase::kClosedAway}, Phase::kOpen); }
  // Open -> Acquiring; AwayOpen -> AwayAcquiring (the camera went while its
  // start request was answered: the run resumes when it returns).
  bool Started();
  // Acquiring -> Open; AwayAcquiring -> AwayOpen.
  bool Stopped();
  // Open or Acquiring -> Closed; AwayOpen or AwayAcquiring -> ClosedAway.
  bool Closed();
  // Open -> AwayOpen, Acquiring -> AwayAcquiring, Closed -> ClosedAway.
  // Returns true only when an open camera went away by this call.
  bool WentAway();
  // AwayOpen -> Open; AwayAcquiring -> Acquiring when `resumed`, else Open.
  bool Returned(bool resumed);
  // Closed or ClosedAway -> Dropped.
  bool Dropped() { return Move({Phase::kClosed, Phase::kClosedAway}, Phase::kDropped); }

 private:
  static bool IsOpenPhase(Phase phase) {
    return phase != Phase::kClosed && phase != Phase::kClosedAway && phase != Phase::kDropped;
  }
  static bool IsAwayPhase(Phase phase) {
    return phase == Phase::kAwayOpen || phase == Phase::kAwayAcquiring ||
           phase == Phase::kClosedAway || phase == Phase::kDropped;
  }
  bool Move(std::initializer_list<Phase> from, Phase to);
  // Moves by `next`, which gives the phase that follows a phase, or the
  // phase itself when the change does not apply to it.
  template <typename Next>
  bool MoveBy(Next next);

  std::atomic<Phase> phase_{Phase::kClosed};
};

}  // namespace lumo::camera
