// lumo grab's frame timing: sequence gaps, and intervals taken only between
// frames of consecutive sequence numbers.
#include <gtest/gtest.h>

#include <cmath>

#include "FrameTiming.h"

namespace {

using lumo::tool::FrameTiming;

LumoFrame At(std::uint64_t sequence, std::int64_t ms, std::uint64_t lostBefore = 0) {
  LumoFrame frame{};
  frame.sequence = sequence;
  frame.timestampNs = ms * 1000000;
  frame.lostBefore = lostBefore;
  return frame;
}

TEST(FrameTiming, CountsGapsAndTimesOnlyFramesInARow) {
  FrameTiming timing;
  timing.Add(At(2, 100, 2));  // two frames lost before the first
  timing.Add(At(3, 104));
  timing.Add(At(4, 110));
  timing.Add(At(7, 190, 2));  // two lost; the 80 ms across them is no interval
  timing.Add(At(8, 192));
  EXPECT_EQ(timing.Gaps(), 2u);
  EXPECT_EQ(timing.Missing(), 4u);
  EXPECT_EQ(timing.LostBefore(), 4u);
  // Intervals 4, 6 and 2 ms: mean 4, deviations 0, 2, 2.
  const auto& all = timing.Intervals();
  EXPECT_EQ(all.Count(), 3u);
  EXPECT_DOUBLE_EQ(all.MeanNs(), 4e6);
  EXPECT_NEAR(all.DeviationNs(), std::sqrt(8.0 / 3.0) * 1e6, 1.0);
  EXPECT_DOUBLE_EQ(all.LargestDeviationNs(), 2e6);

  // A sequence number that does not rise is counted apart, neither a gap
  // nor an interval; counting goes on from it.
  timing.Add(At(8, 195));
  timing.Add(At(9, 200));
  EXPECT_EQ(timing.OutOfOrder(), 1u);
  EXPECT_EQ(timing.Gaps(), 2u);
  EXPECT_EQ(timing.Intervals().Count(), 4u);
  EXPECT_DOUBLE_EQ(timing.Intervals().MeanNs(), 4.25e6);
}

TEST(FrameTiming, WindowStartsAfreshWhileTheTotalsRunOn) {
  FrameTiming timing;
  timing.Add(At(0, 0));
  timing.Add(At(1, 10));
  timing.NewWindow();
  EXPECT_EQ(timing.Window().Count(), 0u);
  timing.Add(At(2, 14));
  EXPECT_EQ(timing.Window().Count(), 1u);
  EXPECT_DOUBLE_EQ(timing.Window().MeanNs(), 4e6);
  EXPECT_DOUBLE_EQ(timing.Window().DeviationNs(), 0.0);
  EXPECT_DOUBLE_EQ(timing.Intervals().MeanNs(), 7e6);
  EXPECT_EQ(timing.Gaps(), 0u);  // a first frame of sequence 0 misses nothing
}

}  // namespace
