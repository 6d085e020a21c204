#include "camera/FrameBuffer.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "lumo/Frame.h"

namespace lumo::camera {

namespace {

// The facts take this much room in front of the record, which keeps the
// record on a cache-line boundary.
constexpr std::size_t kFactsRoom = 64;
constexpr std::align_val_t kAlignment{64};
static_assert(sizeof(FrameFacts) <= kFactsRoom, "the facts fit in front of the record");

std::uint8_t* BaseOf(FrameRecord* record) { return record->Bytes() - kFactsRoom; }

}  // namespace

void RecordDeleter::operator()(FrameRecord* record) const {
  if (!record) return;
  std::uint8_t* base = BaseOf(record);
  reinterpret_cast<FrameFacts*>(base)->~FrameFacts();
  ::operator delete(base, kAlignment);
}

RecordPtr MakeRecord(std::size_t recordBytes) {
  recordBytes = std::max(recordBytes, kFrameRecordSize);
  void* base = ::operator new(kFactsRoom + recordBytes, kAlignment, std::nothrow);
  if (!base) return nullptr;
  auto* facts = new (base) FrameFacts;
  facts->recordBytes = recordBytes;
  // The record's bytes are not initialised, as a record made with new is
  // not: the assembler writes every field it hands out.
  return RecordPtr(new (static_cast<std::uint8_t*>(base) + kFactsRoom) FrameRecord);
}

FrameFacts& FactsOf(FrameRecord& record) { return *reinterpret_cast<FrameFacts*>(BaseOf(&record)); }

const FrameFacts& FactsOf(const FrameRecord& record) {
  return FactsOf(const_cast<FrameRecord&>(record));
}

std::size_t RecordBytesForRawImage(std::uint64_t imageBytes) {
  const std::uint64_t blocks = (imageBytes + 4095) / 4096;
  return std::max<std::size_t>(kFrameRecordSize,
                               kRawImageOffset + static_cast<std::size_t>(blocks * 4096));
}

std::int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace lumo::camera

extern "C" long long LumoSteadyClockNs(void) { return lumo::camera::SteadyNowNs(); }
