// Binary layouts that the driver and callers see, checked byte by byte on
// whatever word size this build has.
#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace lumo
