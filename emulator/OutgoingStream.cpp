#include "OutgoingStream.h"

#include <algorithm>
#include <utility>

namespace lumo::emulator {

void OutgoingStream::Push(std::vector<std::uint8_t> bytes, Clock::time_point due) {
  if (bytes.empty()) return;
  segments_.push_back(Segment{std::move(bytes), 0, due});
}

std::size_t OutgoingStream::Limit(std::size_t requested) {
  std::size_t limit =
      std::min({requested, kCommandInMaxBytes, std::max<std::size_t>(split_.maxBytes, 1)});
  if (split_.random) {
    const std::size_t low = std::min(split_.minBytes, limit);
    // A plain modulo keeps the sequence the same with every standard
    // library, which the distributions do not promise.
    limit = low + static_cast<std::size_t>(random_() % (limit - low + 1));
  }
  return limit;
}

std::vector<std::uint8_t> OutgoingStream::Take(std::size_t requested, Clock::time_point now) {
  std::vector<std::uint8_t> out;
  // A segment begun earlier is due by definition (and at the front).
  const auto due = [&](const Segment& s) { return s.sent > 0 || s.due <= now; };
  if (requested == 0 || std::none_of(segments_.begin(), segments_.end(), due)) return out;

  const std::size_t limit = Limit(requested);
  for (auto it = segments_.begin(); it != segments_.end() && out.size() < limit;) {
    if (!due(*it)) {
      ++it;
      continue;
    }
    const std::size_t n = std::min(limit - out.size(), it->bytes.size() - it->sent);
    const auto from = it->bytes.begin() + static_cast<std::ptrdiff_t>(it->sent);
    out.insert(out.end(), from, from + static_cast<std::ptrdiff_t>(n));
    it->sent += n;
    if (it->sent < it->bytes.size()) {
      // The transfer is full. The segment goes to the front so that the
      // next transfer finishes it even if an older one has come due.
      if (it != segments_.begin()) {
        Segment started = std::move(*it);
        segments_.erase(it);
        segments_.push_front(std::move(started));
      }
      break;
    }
    it = segments_.erase(it);
  }
  return out;
}

void OutgoingStream::SetSplit(const InSplit& split) {
  split_ = split;
  random_.seed(split.seed);
}

std::size_t OutgoingStream::Queued() const {
  std::size_t total = 0;
  for (const auto& s : segments_) total += s.bytes.size() - s.sent;
  return total;
}

OutgoingStream::Clock::time_point OutgoingStream::LastDue() const {
  Clock::time_point last = Clock::time_point::min();
  for (const auto& s : segments_)
    if (s.sent == 0) last = std::max(last, s.due);
  return last;
}

void OutgoingStream::Clear() { segments_.clear(); }

}  // namespace lumo::emulator
