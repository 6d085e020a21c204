// The camera's lifecycle: every change from every phase, against the
// diagram in LifecycleState.h, and the views derived from the phase.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "camera/LifecycleState.h"

namespace lumo::camera {
namespace {

constexpr Phase kAll[] = {Phase::kClosed,   Phase::kOpen,          Phase::kAcquiring,
                          Phase::kAwayOpen, Phase::kAwayAcquiring, Phase::kClosedAway};

// Brings a fresh state to `phase` through allowed changes only.
void Reach(LifecycleState& state, Phase phase) {
  switch (phase) {
    case Phase::kClosed:
      return;
    case Phase::kOpen:
      ASSERT_TRUE(state.Opened());
      return;
    case Phase::kAcquiring:
      ASSERT_TRUE(state.Opened() && state.Started());
      return;
    case Phase::kAwayOpen:
      ASSERT_TRUE(state.Opened() && state.WentAway());
      return;
    case Phase::kAwayAcquiring:
      ASSERT_TRUE(state.Opened() && state.Started() && state.WentAway());
      return;
    case Phase::kClosedAway:
      ASSERT_FALSE(state.WentAway());  // not open: moves, but reports no open camera leaving
      return;
    case Phase::kDropped:
      ASSERT_TRUE(state.Dropped());
      return;
  }
}

struct Change {
  const char* name;
  std::function<bool(LifecycleState&)> apply;
  // The phase each starting phase leads to, in the order of kAll; the
  // starting phase itself where the change is refused.
  std::vector<Phase> to;
};

TEST(LifecycleState, EveryChangeFromEveryPhaseFollowsTheDiagram) {
  using P = Phase;
  const std::vector<Change> changes = {
      {"Opened",
       [](LifecycleState& s) { return s.Opened(); },
       {P::kOpen, P::kOpen, P::kAcquiring, P::kAwayOpen, P::kAwayAcquiring, P::kOpen, P::kDropped}},
      {"Started",
       [](LifecycleState& s) { return s.Started(); },
       {P::kClosed, P::kAcquiring, P::kAcquiring, P::kAwayAcquiring, P::kAwayAcquiring,
        P::kClosedAway, P::kDropped}},
      {"Stopped",
       [](LifecycleState& s) { return s.Stopped(); },
       {P::kClosed, P::kOpen, P::kOpen, P::kAwayOpen, P::kAwayOpen, P::kClosedAway, P::kDropped}},
      {"Closed",
       [](LifecycleState& s) { return s.Closed(); },
       {P::kClosed, P::kClosed, P::kClosed, P::kClosedAway, P::kClosedAway, P::kClosedAway,
        P::kDropped}},
      {"WentAway",
       [](LifecycleState& s) { return s.WentAway() || s.Load() == P::kClosedAway; },
       {P::kClosedAway, P::kAwayOpen, P::kAwayAcquiring, P::kAwayOpen, P::kAwayAcquiring,
        P::kClosedAway, P::kDropped}},
      {"Returned(resumed)",
       [](LifecycleState& s) { return s.Returned(true); },
       {P::kClosed, P::kOpen, P::kAcquiring, P::kOpen, P::kAcquiring, P::kClosedAway, P::kDropped}},
      {"Returned(refused)",
       [](LifecycleState& s) { return s.Returned(false); },
       {P::kClosed, P::kOpen, P::kAcquiring, P::kOpen, P::kOpen, P::kClosedAway, P::kDropped}},
      {"Dropped",
       [](LifecycleState& s) { return s.Dropped(); },
       {P::kDropped, P::kOpen, P::kAcquiring, P::kAwayOpen, P::kAwayAcquiring, P::kDropped,
        P::kDropped}},
  };
  for (const Change& change : changes) {
    for (std::size_t i = 0; i < std::size(kAll); ++i) {
      SCOPED_TRACE(std::string(change.name) + " from " + PhaseName(kAll[i]));
      LifecycleState state;
      Reach(state, kAll[i]);
      ASSERT_EQ(state.Load(), kAll[i]);
      const bool moved = change.apply(state);
      EXPECT_EQ(state.Load(), change.to[i]);
      // A change reports whether it moved (WentAway reports something else,
      // checked below).
      if (std::string(change.name) != "WentAway") {
        EXPECT_EQ(moved, change.to[i] != kAll[i]);
      }
    }
  }
}

TEST(LifecycleState, ViewsAndTheReportOfAnOpenCameraLeaving) {
  for (Phase phase : kAll) {
    SCOPED_TRACE(PhaseName(phase));
    LifecycleState state;
    Reach(state, phase);
    const bool open = phase != Phase::kClosed && phase != Phase::kClosedAway;
    const bool away =
        phase == Phase::kAwayOpen || phase == Phase::kAwayAcquiring || phase == Phase::kClosedAway;
    EXPECT_EQ(state.IsOpen(), open);
    EXPECT_EQ(state.IsAway(), away);
    EXPECT_EQ(state.Attached(), open && !away);
    EXPECT_EQ(state.AcquisitionRequested(),
              phase == Phase::kAcquiring || phase == Phase::kAwayAcquiring);
    // Counted once per detach: only an attached camera leaving reports it.
    EXPECT_EQ(state.WentAway(), open && !away);
    EXPECT_FALSE(state.WentAway());
  }
}

}  // namespace
}  // namespace lumo::camera
