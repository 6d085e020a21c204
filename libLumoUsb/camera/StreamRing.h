// StreamRing: the camera's circular byte buffer between the image reader,
// its only writer, and the frame assembler, its only reader. The ring keeps
// no transfer boundaries and has no full state: a reader that falls a whole
// ring behind finds its unread bytes overwritten.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/UniqueHandle.h"

namespace lumo::camera {

// Size of the ring; a whole number of 4096-byte stream blocks. Fuzzing
// builds (LUMO_SMALL_BUFFERS) use a small one, so that making a camera state
// costs little: sanitizer allocators map anything much larger afresh on
// every allocation.
#if defined(LUMO_SMALL_BUFFERS)
constexpr std::uint32_t kStreamRingSize = 0x10000;  // 64 KiB
#else
constexpr std::uint32_t kStreamRingSize = 0x1400000;  // 20 MiB
#endif
static_assert(kStreamRingSize % 4096 == 0, "the StreamRing holds whole stream blocks");

class StreamRing {
 public:
  // Allocates the ring (its pages are only touched by streaming) and its
  // auto-reset event.
  StreamRing();
  StreamRing(const StreamRing&) = delete;
  StreamRing& operator=(const StreamRing&) = delete;

  // Copies `length` bytes in at ringWritePos, wrapping at the ring's end,
  // then publishes the new position and sets dataEvent. Writer only.
  void Append(const std::uint8_t* bytes, std::uint32_t length);
  // Drops whatever a stopped run left unread: the next run reads from
  // where the camera's new bytes will be written. Called while neither
  // thread runs.
  void DiscardUnread();
  // Reader side of dataEvent: waits up to `timeoutMs` for an append, and
  // clears a signal that a pass has already served.
  void WaitForData(std::uint32_t timeoutMs);
  void ClearDataSignal();

  std::unique_ptr<std::uint8_t[]> ring;  // kStreamRingSize bytes
  // Offsets below kStreamRingSize; 0 at construction and never reset. The
  // writer publishes ringWritePos (release) only after the bytes it covers.
  std::atomic<std::uint32_t> ringWritePos{0};
  std::atomic<std::uint32_t> ringReadPos{0};
  platform::UniqueHandle dataEvent;  // auto-reset, set after each append
};

}  // namespace lumo::camera
