// FrameBuffer: how a frame record is allocated. A record is the public
// 148-byte header followed by its areas, at least the 4 MiB of the fixed
// layout and larger for raw frames that need more; in front of it, out of
// the caller's sight, sit the facts the library keeps about the frame it
// holds (sequence, times, sizes), so that they travel with the record
// wherever it goes (pool, hand-out, lease, the line decoder's exchange).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "camera/FrameRecord.h"

namespace lumo::camera {

struct FrameFacts {
  // Bytes of the record, header first; never less than kFrameRecordSize.
  std::size_t recordBytes = 0;
  // Of the frame it holds now: its place in the run (0 for the first frame
  // the library saw begin), the steady-clock times its header block and
  // its last byte arrived, and its image bytes.
  std::uint64_t sequence = 0;
  std::int64_t timestampNs = 0;
  std::int64_t completedNs = 0;
  std::uint64_t imageBytes = 0;
  // Its width and height (pixels, lines) as its own header gave them; the
  // record's header may keep those of an earlier frame that started in it.
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Frames lost between the frame handed out before it and this one; set
  // when it is handed out.
  std::uint64_t lostBefore = 0;
  // Lent to a caller (FrameLeases.h); under the hand-out's frameLock.
  bool lent = false;
};

struct RecordDeleter {
  void operator()(FrameRecord* record) const;
};
using RecordPtr = std::unique_ptr<FrameRecord, RecordDeleter>;

// A record of `recordBytes` (raised to kFrameRecordSize), its bytes left
// uninitialised; null when there is not that much memory.
RecordPtr MakeRecord(std::size_t recordBytes = kFrameRecordSize);

FrameFacts& FactsOf(FrameRecord& record);
const FrameFacts& FactsOf(const FrameRecord& record);

// Room for raw image bytes behind the raw image offset.
inline std::size_t RawCapacity(const FrameRecord& record) {
  return FactsOf(record).recordBytes - kRawImageOffset;
}

// The record size that holds `imageBytes` of raw image in whole 4096-byte
// blocks.
std::size_t RecordBytesForRawImage(std::uint64_t imageBytes);

// The steady clock frames are stamped with, in nanoseconds.
std::int64_t SteadyNowNs();

}  // namespace lumo::camera
