// The emulated driver's information codes and its refusal of unknown codes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "EmulatorTestSupport.h"

namespace lumo::test {
namespace {

using emulator::EmulatedDevice;

class DriverCodeTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override { Open(EmulatedDevice::Camera("CODES")); }
};

TEST_F(DriverCodeTest, InOutInformationCodesReturnTheSentSize) {
  struct Case {
    std::uint32_t code;
    std::uint32_t size;
  };
  for (const Case& c : {Case{kInfoA, 4}, Case{kInfoB, 4}, Case{kGetAlternate, 1},
                        Case{kInfoByte, 1}, Case{kTextA, 256}, Case{kTextB, 256}, Case{kState, 4},
                        Case{kInfoA, 8}, Case{kTextA, 300}}) {
    std::vector<std::uint8_t> b(c.size, 0xEE);
    const Reply reply = InOut(handle, c.code, b);
    ASSERT_TRUE(reply.ok) << std::hex << c.code << " error " << std::dec << reply.error;
    EXPECT_EQ(reply.bytes, c.size) << std::hex << c.code;
  }
}

TEST_F(DriverCodeTest, InformationCodesAnswerTheDocumentedValues) {
  std::vector<std::uint8_t> b(4);
  ASSERT_TRUE(InOut(handle, kInfoA, b).ok);
  EXPECT_EQ(Get32(b, 0), emulator::kDriverValueA);
  ASSERT_TRUE(InOut(handle, kInfoB, b).ok);
  EXPECT_EQ(Get32(b, 0), emulator::kDriverValueB);
  ASSERT_TRUE(InOut(handle, kState, b).ok);
  EXPECT_EQ(Get32(b, 0), emulator::kDeviceStateValue);
  std::vector<std::uint8_t> one(1);
  ASSERT_TRUE(InOut(handle, kInfoByte, one).ok);
  EXPECT_EQ(one[0], emulator::kDriverByte);

  std::vector<std::uint8_t> text(256, 0xEE);
  ASSERT_TRUE(InOut(handle, kTextA, text).ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), emulator::kDriverTextA);
  EXPECT_EQ(text[255], 0);  // NUL padded to the full size
  ASSERT_TRUE(InOut(handle, kTextB, text).ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), emulator::kDriverTextB);

  // Buffers too small for the answer are refused.
  std::vector<std::uint8_t> small(16);
  EXPECT_EQ(InOut(handle, kTextA, small).error, platform::kErrorInsufficientBuffer);
  std::vector<std::uint8_t> two(2);
  EXPECT_EQ(InOut(handle, kInfoB, two).error, platform::kErrorInsufficientBuffer);
}

TEST_F(DriverCodeTest, SetTransferLengthIsRecordedPerEndpoint) {
  std::vector<std::uint8_t> b = {0x81, 0x00, 0x00, 0x10, 0x00};  // 0x100000
  const Reply reply = InOut(handle, kSetLength, b);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, 5u);
  EXPECT_EQ(device->TransferLength(0x81), 0x100000u);
  EXPECT_EQ(device->TransferLength(0x01), 0u);
  std::vector<std::uint8_t> tooShort = {0x81, 0x00};
  EXPECT_EQ(InOut(handle, kSetLength, tooShort).error, platform::kErrorInvalidParameter);
}

TEST_F(DriverCodeTest, UnknownCodesAreRefusedAndCounted) {
  std::vector<std::uint8_t> b(8);
  for (std::uint32_t code : {0x220030u, 0x220048u, 0x00000000u, 0x22004Au}) {
    const Reply reply = InOut(handle, code, b);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, platform::kErrorInvalidFunction) << std::hex << code;
  }
  EXPECT_EQ(device->RefusedRequests(), 4u);
  // Served codes do not count.
  std::vector<std::uint8_t> four(4);
  ASSERT_TRUE(InOut(handle, kInfoA, four).ok);
  EXPECT_EQ(device->RefusedRequests(), 4u);
}

}  // namespace
}  // namespace lumo::test
