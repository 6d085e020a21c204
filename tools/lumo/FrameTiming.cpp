#include "FrameTiming.h"

#include <algorithm>
#include <cmath>

namespace lumo::tool {

void IntervalStatistics::Add(double intervalNs) {
  // Welford's update: no loss of precision over millions of intervals.
  ++count_;
  const double delta = intervalNs - mean_;
  mean_ += delta / static_cast<double>(count_);
  squares_ += delta * (intervalNs - mean_);
  smallest_ = count_ == 1 ? intervalNs : std::min(smallest_, intervalNs);
  largest_ = count_ == 1 ? intervalNs : std::max(largest_, intervalNs);
}

double IntervalStatistics::DeviationNs() const {
  return count_ < 2 ? 0.0 : std::sqrt(squares_ / static_cast<double>(count_));
}

double IntervalStatistics::LargestDeviationNs() const {
  return count_ == 0 ? 0.0 : std::max(largest_ - mean_, mean_ - smallest_);
}

void FrameTiming::Add(const LumoFrame& frame) {
  lostBefore_ += frame.lostBefore;
  if (!any_) {
    any_ = true;
    if (frame.sequence > 0) {
      ++gaps_;
      missing_ += frame.sequence;
    }
  } else if (frame.sequence <= lastSequence_) {
    ++outOfOrder_;
  } else if (frame.sequence == lastSequence_ + 1) {
    const double interval = static_cast<double>(frame.timestampNs - lastTimestampNs_);
    all_.Add(interval);
    window_.Add(interval);
  } else {
    ++gaps_;
    missing_ += frame.sequence - lastSequence_ - 1;
  }
  lastSequence_ = frame.sequence;
  lastTimestampNs_ = frame.timestampNs;
}

}  // namespace lumo::tool
