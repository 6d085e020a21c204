#include "camera/StreamRing.h"

#include <cstring>

namespace lumo::camera {

StreamRing::StreamRing()
    : ring(new std::uint8_t[kStreamRingSize]),
      dataEvent(platform::CreateEventObject(false, false)) {}

void StreamRing::Append(const std::uint8_t* bytes, std::uint32_t length) {
  const std::uint32_t write = ringWritePos.load(std::memory_order_relaxed);
  const std::uint32_t read = ringReadPos.load(std::memory_order_acquire);
  const std::uint32_t unread = write >= read ? write - read : kStreamRingSize - read + write;
  if (length > kStreamRingSize - 1 - unread) {
    // The reader is a whole ring behind: these bytes are dropped rather
    // than written over bytes it has not read, and the frame they belong
    // to is dropped with them.
    MarkGap();
    return;
  }
  std::uint32_t next;
  if (write + length < kStreamRingSize) {
    std::memcpy(ring.get() + write, bytes, length);
    next = write + length;
  } else {
    const std::uint32_t first = kStreamRingSize - write;
    std::memcpy(ring.get() + write, bytes, first);
    std::memcpy(ring.get(), bytes + first, length - first);
    next = length - first;
  }
  // The bytes are in the ring before the frame assembler can see the new
  // position, and the position before an announcement wakes it.
  ringWritePos.store(next, std::memory_order_release);
  unannounced_ += length;
  if (unannounced_ >= kStreamAnnounceBytes) Announce();
}

void StreamRing::Announce() {
  if (unannounced_ == 0) return;
  unannounced_ = 0;
  platform::SetEventObject(dataEvent.get());
}

void StreamRing::MarkGap() {
  const std::uint32_t head = gapHead_.load(std::memory_order_relaxed);
  // With the queue full the oldest gaps are still pending: this one is
  // dropped, and the reader's search for the next header covers it.
  if (head - gapTail_.load(std::memory_order_acquire) < kMaxGaps) {
    gaps_[head % kMaxGaps] = ringWritePos.load(std::memory_order_relaxed);
    gapHead_.store(head + 1, std::memory_order_release);
  }
  platform::SetEventObject(dataEvent.get());
  unannounced_ = 0;
}

void StreamRing::DiscardUnread() {
  ringReadPos.store(ringWritePos.load(std::memory_order_acquire), std::memory_order_release);
  gapTail_.store(gapHead_.load(std::memory_order_acquire), std::memory_order_release);
  unannounced_ = 0;
}

void StreamRing::WaitForData(std::uint32_t timeoutMs) {
  platform::WaitForEvent(dataEvent.get(), timeoutMs);
}

bool StreamRing::NextGap(std::uint32_t* position) const {
  const std::uint32_t tail = gapTail_.load(std::memory_order_relaxed);
  if (tail == gapHead_.load(std::memory_order_acquire)) return false;
  *position = gaps_[tail % kMaxGaps];
  return true;
}

void StreamRing::PopGap() {
  gapTail_.store(gapTail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void StreamRing::Wake() { platform::SetEventObject(dataEvent.get()); }

}  // namespace lumo::camera
