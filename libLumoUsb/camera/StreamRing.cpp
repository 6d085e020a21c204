#include "camera/StreamRing.h"

#include <cstring>

namespace lumo::camera {

StreamRing::StreamRing()
    : ring(new std::uint8_t[kStreamRingSize]),
      dataEvent(platform::CreateEventObject(false, false)) {}

void StreamRing::Append(const std::uint8_t* bytes, std::uint32_t length) {
  const std::uint32_t write = ringWritePos.load(std::memory_order_relaxed);
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
  // position, and the position before the event wakes it.
  ringWritePos.store(next, std::memory_order_release);
  platform::SetEventObject(dataEvent.get());
}

void StreamRing::DiscardUnread() {
  ringReadPos.store(ringWritePos.load(std::memory_order_acquire), std::memory_order_release);
}

void StreamRing::WaitForData(std::uint32_t timeoutMs) {
  platform::WaitForEvent(dataEvent.get(), timeoutMs);
}

void StreamRing::ClearDataSignal() { platform::ResetEventObject(dataEvent.get()); }

}  // namespace lumo::camera
