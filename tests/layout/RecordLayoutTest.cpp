// Binary layouts that the driver and callers see, checked byte by byte on
// whatever word size this build has.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "lumo/FrameRecord.h"
#include "lumo/lumo_u3v.h"
#include "platform/Platform.h"
#include "usb/DriverInterface.h"

namespace lumo {
namespace {

TEST(RecordLayout, TransferRecordIsPackedLittleEndian) {
  usb::TransferRecord record{};
  const std::uint8_t setup[8] = {0xC0, 0xFE, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x08};
  std::memcpy(record.setupPacket, setup, 8);
  record.timeoutSeconds = 0x01020304;
  record.endpointAddress = 0x81;
  record.systemStatus = 0x11121314;
  record.usbStatus = 0x21222324;
  record.packetTableOffset = 38;
  record.packetTableLength = 0x31323334;
  record.dataOffset = 0x41424344;
  record.dataLength = 0x51525354;

  std::uint8_t bytes[sizeof(record)];
  std::memcpy(bytes, &record, sizeof(record));
  ASSERT_EQ(sizeof(bytes), 38u);
  EXPECT_EQ(std::memcmp(bytes, setup, 8), 0);
  const std::uint8_t expected[30] = {0x04, 0x03, 0x02, 0x01, 0x00, 0x81, 0x14, 0x13, 0x12, 0x11,
                                     0x24, 0x23, 0x22, 0x21, 38,   0,    0,    0,    0x34, 0x33,
                                     0x32, 0x31, 0x44, 0x43, 0x42, 0x41, 0x54, 0x53, 0x52, 0x51};
  EXPECT_EQ(std::memcmp(bytes + 8, expected, sizeof(expected)), 0);
}

TEST(RecordLayout, DeviceNoticeKeepsThePathAtByte28) {
  alignas(platform::DeviceInterfaceNotice) std::uint8_t raw[64] = {};
  const char path[] = "\\\\?\\usb#x";
  std::memcpy(raw + 28, path, sizeof(path));
  const auto* notice = reinterpret_cast<const platform::DeviceInterfaceNotice*>(raw);
  EXPECT_STREQ(notice->name, path);
}

// Every field of the 148-byte header at its offset, written through the
// structure and found in the bytes. The two addresses sit at 64 and 68 with
// 4-byte addresses, at 80 and 88 with 8-byte ones.
TEST(RecordLayout, FrameRecordHeaderFieldsSitAtTheirOffsets) {
  alignas(8) std::uint8_t bytes[kFrameHeaderSize] = {};
  auto* header = reinterpret_cast<FrameRecordHeader*>(bytes);
  const std::uint32_t words[] = {0x01010101, 0x02020202, 0x03030303, 0x04040404, 0x05050505,
                                 0x06060606, 0x07070707, 0x08080808, 0x09090909, 0x0A0A0A0A,
                                 0x0B0B0B0B, 0x0C0C0C0C, 0x0D0D0D0D};
  header->infoWord0 = words[0];
  header->width = words[1];
  header->height = words[2];
  header->depth = words[3];
  header->format = words[4];
  header->frameNumber = words[5];
  header->infoWord6 = words[6];
  header->reserved28 = words[7];
  header->infoLength = words[8];
  header->imageBytes = words[9];
  header->bufferBytes = words[10];
  header->reserved72 = words[11];
  header->reserved128 = words[12];
  header->infoAddress = bytes + 1;
  header->imageAddress = bytes + 2;
  const std::size_t offsets[] = {0, 4, 8, 12, 16, 20, 24, 28, 52, 56, 60, 72, 128};
  for (std::size_t i = 0; i < sizeof offsets / sizeof offsets[0]; ++i) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes + offsets[i], 4);
    EXPECT_EQ(word, words[i]) << "offset " << offsets[i];
  }
  const std::size_t infoAt = sizeof(void*) == 4 ? 64 : 80;
  const std::size_t imageAt = sizeof(void*) == 4 ? 68 : 88;
  std::uint8_t* address = nullptr;
  std::memcpy(&address, bytes + infoAt, sizeof address);
  EXPECT_EQ(address, bytes + 1) << "infoAddress at " << infoAt;
  std::memcpy(&address, bytes + imageAt, sizeof address);
  EXPECT_EQ(address, bytes + 2) << "imageAddress at " << imageAt;
  EXPECT_EQ(sizeof(FrameRecordHeader), 148u);
}

// The flat interface's records: ImageInfo packed with its fields at 16, 20,
// 24, 28, 32 and 42 (46 bytes); DeviceInfo with the pointer-sized device ID
// at 8.
TEST(RecordLayout, FlatRecordsKeepTheirOffsets) {
  LUMO_U3V_ImageInfo image{};
  image.pixelFormat = 0x01080001;
  image.zero20 = 0x14141414;
  image.zero24 = 0x18181818;
  image.width = 0x0A0B0C0D;
  image.height = 0x01020304;
  image.imageAddress = 0x55667788;
  std::uint8_t bytes[sizeof image];
  std::memcpy(bytes, &image, sizeof image);
  ASSERT_EQ(sizeof image, 46u);
  const std::uint8_t expected[] = {0x01, 0x00, 0x08, 0x01, 0x14, 0x14, 0x14, 0x14, 0x18, 0x18,
                                   0x18, 0x18, 0x0D, 0x0C, 0x0B, 0x0A, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(std::memcmp(bytes + 16, expected, sizeof expected), 0);
  const std::uint8_t address[] = {0x88, 0x77, 0x66, 0x55};
  EXPECT_EQ(std::memcmp(bytes + 42, address, 4), 0);

  LUMO_U3V_DeviceInfo device{};
  device.deviceId = &device;
  void* id = nullptr;
  std::memcpy(&id, reinterpret_cast<std::uint8_t*>(&device) + 8, sizeof id);
  EXPECT_EQ(id, &device);
  EXPECT_EQ(sizeof device, 8 + sizeof(void*));
}

}  // namespace
}  // namespace lumo
