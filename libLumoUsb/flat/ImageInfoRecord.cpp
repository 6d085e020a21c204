#include "flat/ImageInfoRecord.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lumo::flat {

// The record's layout is fixed for callers on every word size.
static_assert(offsetof(LUMO_U3V_ImageInfo, fullImageAddress) == 8, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, pixelFormat) == 16, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, zero20) == 20, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, zero24) == 24, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, width) == 28, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, height) == 32, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, reserved36) == 36, "ImageInfo layout");
static_assert(offsetof(LUMO_U3V_ImageInfo, imageAddress) == 42, "ImageInfo layout");
static_assert(sizeof(LUMO_U3V_ImageInfo) == 46, "ImageInfo layout");

namespace {

constexpr bool kWideAddresses = sizeof(void*) > 4;

// Stores `value` at byte `offset` of the record, whatever its alignment.
template <typename Value>
void Put(LUMO_U3V_ImageInfo* record, std::size_t offset, Value value) {
  std::memcpy(reinterpret_cast<unsigned char*>(record) + offset, &value, sizeof(value));
}

}  // namespace

void FillImageInfo(const FrameRecordHeader& frame, LUMO_U3V_ImageInfo* record) {
  // The depth word is compared as a signed value, so a negative depth counts
  // as 8 bits or less.
  const bool eightBit = static_cast<std::int32_t>(frame.depth) <= 8;
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, pixelFormat),
                     eightBit ? LUMO_U3V_PIXEL_MONO8 : LUMO_U3V_PIXEL_MONO16);
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, zero20), 0);
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, zero24), 0);
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, width), frame.width);
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, height), frame.height);

  const std::uint64_t address = reinterpret_cast<std::uintptr_t>(frame.imageAddress);
  if (kWideAddresses)
    Put<std::uint64_t>(record, offsetof(LUMO_U3V_ImageInfo, fullImageAddress), address);
  // The 32-bit field gets the address only when it holds all of it: a cut
  // address would point at something else entirely.
  const bool fits = address <= UINT32_MAX;
  Put<std::uint32_t>(record, offsetof(LUMO_U3V_ImageInfo, imageAddress),
                     fits ? static_cast<std::uint32_t>(address) : 0);
}

}  // namespace lumo::flat
