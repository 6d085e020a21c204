// StreamRing: the camera's circular byte buffer between the image reader,
// its only writer, and the frame assembler, its only reader. The ring keeps
// no transfer boundaries. It never writes over unread bytes: when the
// reader has fallen a whole ring behind, new bytes are dropped and a gap is
// marked, so that the frame they belong to is dropped rather than handed
// out spoiled.
#pragma once

#include <array>
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

// Bytes appended between two announcements at most: the assembler is woken
// once per this many bytes, not once per transfer.
constexpr std::uint32_t kStreamAnnounceBytes = 64 * 1024;

class StreamRing {
 public:
  // Allocates the ring (its pages are only touched by streaming) and its
  // auto-reset event.
  StreamRing();
  StreamRing(const StreamRing&) = delete;
  StreamRing& operator=(const StreamRing&) = delete;

  // Writer side (the image reader).
  // Copies `length` bytes in at ringWritePos, wrapping at the ring's end,
  // and publishes the new position; announces once kStreamAnnounceBytes
  // have been appended since the last announcement. Without room for them
  // the bytes are dropped and a gap marked instead.
  void Append(const std::uint8_t* bytes, std::uint32_t length);
  // Wakes the reader for whatever was appended and not yet announced. The
  // writer calls it before it waits, so that no data sits unannounced.
  void Announce();
  // Bytes are missing at the current write position (a transfer failed):
  // the reader drops the frame that spans the gap and looks for the next
  // header. Announces.
  void MarkGap();

  // Drops whatever a stopped run left unread, gaps included: the next run
  // reads from where the camera's new bytes will be written. Called while
  // neither thread runs.
  void DiscardUnread();

  // Reader side (the frame assembler).
  // Waits up to `timeoutMs` for an announcement (or a Wake).
  void WaitForData(std::uint32_t timeoutMs);
  // The position of the oldest gap not yet reached, if any.
  bool NextGap(std::uint32_t* position) const;
  // The oldest gap has been reached and dealt with.
  void PopGap();

  // Any thread: ends the reader's current wait (acquisition stops).
  void Wake();

  std::unique_ptr<std::uint8_t[]> ring;  // kStreamRingSize bytes
  // Offsets below kStreamRingSize; 0 at construction and never reset. The
  // writer publishes ringWritePos (release) only after the bytes it covers.
  std::atomic<std::uint32_t> ringWritePos{0};
  std::atomic<std::uint32_t> ringReadPos{0};
  platform::UniqueHandle dataEvent;  // auto-reset, set by announcements

 private:
  std::uint32_t unannounced_ = 0;  // the writer's alone
  // Gap positions, a single-producer single-consumer queue: the writer
  // publishes gapHead_ (release) after the entry, the reader gapTail_.
  static constexpr std::uint32_t kMaxGaps = 64;
  std::array<std::uint32_t, kMaxGaps> gaps_{};
  std::atomic<std::uint32_t> gapHead_{0};
  std::atomic<std::uint32_t> gapTail_{0};
};

}  // namespace lumo::camera
