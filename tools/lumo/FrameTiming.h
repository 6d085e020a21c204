// What the frames' sequence numbers and times say about a grab: the frame
// interval, how much it varies, and the frames the library lost between
// the frames taken.
//
// The interval is the time between the header arrivals (timestampNs) of two
// frames taken one after the other whose sequence numbers are consecutive;
// a pair with frames lost between them spans more than one interval and is
// left out. A sequence gap is one or more frames missing between two frames
// taken, or before the first (whose sequence is then above 0).
#pragma once

#include <cstdint>

#include "lumo/Frame.h"

namespace lumo::tool {

// Mean, standard deviation and extremes of a set of intervals, in
// nanoseconds, gathered one at a time.
class IntervalStatistics {
 public:
  void Add(double intervalNs);
  std::uint64_t Count() const { return count_; }
  double MeanNs() const { return mean_; }
  // The population standard deviation; 0 below two intervals.
  double DeviationNs() const;
  // The largest distance of one interval from the mean.
  double LargestDeviationNs() const;

 private:
  std::uint64_t count_ = 0;
  double mean_ = 0;
  double squares_ = 0;  // sum of squared distances from the running mean
  double smallest_ = 0;
  double largest_ = 0;
};

class FrameTiming {
 public:
  // The frames taken, in the order they were taken.
  void Add(const LumoFrame& frame);

  // Intervals of the whole grab, and of the frames added since the last
  // NewWindow (for the once-a-second progress line).
  const IntervalStatistics& Intervals() const { return all_; }
  const IntervalStatistics& Window() const { return window_; }
  void NewWindow() { window_ = IntervalStatistics(); }

  std::uint64_t Gaps() const { return gaps_; }
  std::uint64_t Missing() const { return missing_; }
  // The frames lost according to the frames' own lostBefore counts; equal
  // to Missing() when every frame the library handed out was added.
  std::uint64_t LostBefore() const { return lostBefore_; }
  // Frames whose sequence number was not above the previous frame's.
  std::uint64_t OutOfOrder() const { return outOfOrder_; }

 private:
  bool any_ = false;
  std::uint64_t lastSequence_ = 0;
  std::int64_t lastTimestampNs_ = 0;
  IntervalStatistics all_;
  IntervalStatistics window_;
  std::uint64_t gaps_ = 0;
  std::uint64_t missing_ = 0;
  std::uint64_t lostBefore_ = 0;
  std::uint64_t outOfOrder_ = 0;
};

}  // namespace lumo::tool
