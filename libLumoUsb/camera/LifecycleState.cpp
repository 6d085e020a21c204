#include "camera/LifecycleState.h"

namespace lumo::camera {

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::kClosed:
      return "closed";
    case Phase::kOpen:
      return "open";
    case Phase::kAcquiring:
      return "acquiring";
    case Phase::kAwayOpen:
      return "away (open)";
    case Phase::kAwayAcquiring:
      return "away (acquiring)";
    case Phase::kClosedAway:
      return "closed (away)";
    case Phase::kDropped:
      return "dropped";
  }
  return "unknown";
}

template <typename Next>
bool LifecycleState::MoveBy(Next next) {
  Phase current = phase_.load(std::memory_order_acquire);
  for (;;) {
    const Phase wanted = next(current);
    if (wanted == current) return false;
    if (phase_.compare_exchange_weak(current, wanted, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
      return true;
  }
}

bool LifecycleState::Move(std::initializer_list<Phase> from, Phase to) {
  return MoveBy([&](Phase current) {
    for (Phase allowed : from)
      if (current == allowed) return to;
    return current;
  });
}

bool LifecycleState::Started() {
  return MoveBy([](Phase current) {
    if (current == Phase::kOpen) return Phase::kAcquiring;
    if (current == Phase::kAwayOpen) return Phase::kAwayAcquiring;
    return current;
  });
}

bool LifecycleState::Stopped() {
  return MoveBy([](Phase current) {
    if (current == Phase::kAcquiring) return Phase::kOpen;
    if (current == Phase::kAwayAcquiring) return Phase::kAwayOpen;
    return current;
  });
}

bool LifecycleState::Closed() {
  return MoveBy([](Phase current) {
    if (current == Phase::kOpen || current == Phase::kAcquiring) return Phase::kClosed;
    if (current == Phase::kAwayOpen || current == Phase::kAwayAcquiring) return Phase::kClosedAway;
    return current;
  });
}

bool LifecycleState::WentAway() {
  bool wasOpen = false;
  const bool moved = MoveBy([&](Phase current) {
    wasOpen = current == Phase::kOpen || current == Phase::kAcquiring;
    if (current == Phase::kOpen) return Phase::kAwayOpen;
    if (current == Phase::kAcquiring) return Phase::kAwayAcquiring;
    if (current == Phase::kClosed) return Phase::kClosedAway;
    return current;
  });
  return moved && wasOpen;
}

bool LifecycleState::Returned(bool resumed) {
  return MoveBy([&](Phase current) {
    if (current == Phase::kAwayOpen) return Phase::kOpen;
    if (current == Phase::kAwayAcquiring) return resumed ? Phase::kAcquiring : Phase::kOpen;
    return current;
  });
}

}  // namespace lumo::camera
