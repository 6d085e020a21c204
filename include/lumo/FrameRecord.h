// FrameRecord: the frame buffer whose address CameraGetImage hands out (and
// LumoFrame::record, lumo/Frame.h). It is 4 MiB, or larger for a raw frame
// whose image does not fit behind the raw image offset in 4 MiB (up to 256
// MiB of image: the areas keep their offsets, only the record grows). It
// begins with a 148-byte header, little-endian 32-bit fields:
//
//   offset  field          raw mode                  line-packet mode
//   0       infoWord0      not written               word 0 of the info packet
//   4       width          nw of the stream header   1000
//   8       height         nh of the stream header   1000
//   12      depth          bytes per pixel setting   8
//   16      format         0                         0
//   20      frameNumber    nframecount               nframecount
//   24      infoWord6      not written               word 6 of the info packet
//   28-51   reserved       not written               0
//   52      infoLength     not written               info payload, 16-bit words
//   56      imageBytes     not written               image size in bytes
//   60      bufferBytes    not written               buffer size in bytes
//   64-127  addresses and reserved words (below)
//   128     reserved       not written               203
//   132-147 reserved       not written               0
//
// The two addresses point into the record itself: infoAddress at the info
// area (record + 148, line-packet mode only), imageAddress at the image
// (record + 0x100000 + 148 in raw mode, record + 148 + 10000 in line-packet
// mode). Where they sit depends on the address width:
//
//   32-bit builds: infoAddress at 64, imageAddress at 68, reserved 72-127.
//   64-bit builds: offsets 64-79 reserved, infoAddress at 80 and
//                  imageAddress at 88 (8 bytes each), reserved 96-127.
//
// Every 32-bit field keeps its offset on both; the word at 72 is written 0
// in raw mode on both. Fields marked "not written" keep what the buffer held.
//
// Fuzzing builds define LUMO_SMALL_BUFFERS and get a 64 KiB record with
// smaller areas behind the same header (below); no other build does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo {

constexpr std::size_t kFrameHeaderSize = 148;
#if defined(LUMO_SMALL_BUFFERS)
// Fuzzing builds only: a 64 KiB record, every area behind the header a 64th
// of its normal size, so that a run allocates and copies little. The header
// and the order of the areas are those of the normal record.
constexpr std::size_t kFrameRecordSize = 0x10000;
constexpr std::size_t kRawImageOffset = 0x4000 + kFrameHeaderSize;
constexpr std::size_t kRawImageCapacity = kFrameRecordSize - kRawImageOffset;  // 49,004
constexpr std::size_t kInfoAreaSize = 156;
#else
constexpr std::size_t kFrameRecordSize = 0x400000;
// Raw mode: the image starts 1 MiB + 148 bytes into the record.
constexpr std::size_t kRawImageOffset = 0x100000 + kFrameHeaderSize;
// Raw image bytes a record of the fixed size holds; larger raw frames come
// in larger records.
constexpr std::size_t kRawImageCapacity = kFrameRecordSize - kRawImageOffset;  // 3,145,580
// Line-packet mode: a 10000-byte info area, then the lines.
constexpr std::size_t kInfoAreaSize = 10000;
#endif
constexpr std::size_t kLineImageOffset = kFrameHeaderSize + kInfoAreaSize;

#if defined(LUMO_SMALL_BUFFERS)
// The info area holds at least the 16 words the info handling reads and
// writes, and both image areas leave room for whole 4096-byte blocks.
static_assert(kInfoAreaSize >= 32, "small record: info area too small");
static_assert(kRawImageOffset + 4096 <= kFrameRecordSize, "small record: no room for raw blocks");
static_assert(kLineImageOffset + 4096 <= kFrameRecordSize, "small record: no room for lines");
#endif

#pragma pack(push, 4)
struct FrameRecordHeader {
  std::uint32_t infoWord0;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t depth;
  std::uint32_t format;
  std::uint32_t frameNumber;
  std::uint32_t infoWord6;
  std::uint32_t reserved28;
  std::uint32_t reserved32[5];
  std::uint32_t infoLength;
  std::uint32_t imageBytes;
  std::uint32_t bufferBytes;
#if UINTPTR_MAX == 0xFFFFFFFFu
  std::uint8_t* infoAddress;
  std::uint8_t* imageAddress;
  std::uint32_t reserved72;
  std::uint32_t reserved76[13];
#else
  std::uint32_t reserved64[2];
  std::uint32_t reserved72;
  std::uint32_t reserved76;
  std::uint8_t* infoAddress;
  std::uint8_t* imageAddress;
  std::uint32_t reserved96[8];
#endif
  std::uint32_t reserved128;
  std::uint32_t reserved132[4];
};
#pragma pack(pop)

static_assert(sizeof(FrameRecordHeader) == kFrameHeaderSize, "FrameRecord header is 148 bytes");
static_assert(offsetof(FrameRecordHeader, width) == 4, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, frameNumber) == 20, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, reserved28) == 28, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, infoLength) == 52, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, bufferBytes) == 60, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, reserved72) == 72, "FrameRecord layout");
static_assert(offsetof(FrameRecordHeader, reserved128) == 128, "FrameRecord layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(FrameRecordHeader, infoAddress) == 64, "FrameRecord layout, 32-bit");
static_assert(offsetof(FrameRecordHeader, imageAddress) == 68, "FrameRecord layout, 32-bit");
#else
static_assert(offsetof(FrameRecordHeader, infoAddress) == 80, "FrameRecord layout, 64-bit");
static_assert(offsetof(FrameRecordHeader, imageAddress) == 88, "FrameRecord layout, 64-bit");
#endif

}  // namespace lumo
