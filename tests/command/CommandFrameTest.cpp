// Encoding of register frames: the worked examples, the check byte and the
// escaping of every field.
#include <gtest/gtest.h>

#include <algorithm>

#include "command/CommandFrame.h"
#include "command/FrameBuilder.h"

namespace lumo::command {
namespace {

using test::Bytes;

Bytes Encode(std::int32_t address, const Bytes& data, int type) {
  std::uint8_t out[kFrameBufferSize];
  std::int64_t length = static_cast<std::int64_t>(data.size());
  const std::int64_t result = EncodeCommandFrame(out, address, data.data(), &length, type);
  EXPECT_EQ(result, length);
  return Bytes(out, out + length);
}

TEST(CommandFrame, CheckByteIsCrc8MaximDow) {
  const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc8(digits.data(), digits.size()), 0xA1);
  // The table agrees with the bit-by-bit definition on every byte value.
  for (int value = 0; value < 256; ++value) {
    const Bytes one = {static_cast<std::uint8_t>(value)};
    ASSERT_EQ(Crc8(one.data(), 1), test::ReferenceCrc8(one)) << value;
  }
}

TEST(CommandFrame, WorkedExamples) {
  EXPECT_EQ(Encode(0x10, {}, kFrameRegisterRead),
            (Bytes{0x7E, 0x43, 0x00, 0x00, 0x00, 0x00, 0x10, 0xB1}));
  EXPECT_EQ(Encode(0x20, {1, 2, 3, 4}, kFrameRegisterWrite),
            (Bytes{0x7E, 0x03, 0x04, 0x00, 0x00, 0x00, 0x20, 0x01, 0x02, 0x03, 0x04, 0xE5}));
  EXPECT_EQ(Encode(0x7E, {0x7D}, kFrameRegisterWrite),
            (Bytes{0x7E, 0x03, 0x01, 0x00, 0x00, 0x00, 0x7D, 0x5E, 0x7D, 0x5D, 0x1F}));
  // A write without data: 7E 03 00, the address, the check byte.
  const Bytes empty = Encode(0x01020304, {}, kFrameRegisterWrite);
  const Bytes plain = {0x03, 0x00, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(empty,
            test::Escape(Bytes{0x03, 0x00, 0x01, 0x02, 0x03, 0x04, test::ReferenceCrc8(plain)}));
}

TEST(CommandFrame, EveryFieldIsEscapedAndTheFlagOnlyLeads) {
  // Address, length, data and check byte equal to the flag or the escape.
  for (std::uint32_t data = 0; data < 256; ++data) {
    const Bytes payload(0x7E, static_cast<std::uint8_t>(data));  // length byte 0x7E
    const Bytes encoded = Encode(0x7D7E7D7E, payload, kFrameRegisterWrite);
    Bytes plain(6 + payload.size());
    const std::uint8_t head[6] = {0x03, 0x7E, 0x7D, 0x7E, 0x7D, 0x7E};
    std::copy(head, head + 6, plain.begin());
    std::copy(payload.begin(), payload.end(), plain.begin() + 6);
    plain.push_back(test::ReferenceCrc8(plain));
    ASSERT_EQ(encoded, test::Escape(plain)) << data;
    for (std::size_t i = 1; i < encoded.size(); ++i) ASSERT_NE(encoded[i], 0x7E);
  }
  // Some single data byte makes the check byte itself 0x7E: sent as 7D 5E.
  bool seen = false;
  for (int data = 0; data < 256 && !seen; ++data) {
    const Bytes plain = {0x03, 0x01, 0, 0, 0, 0x30, static_cast<std::uint8_t>(data)};
    if (test::ReferenceCrc8(plain) != 0x7E) continue;
    const Bytes encoded = Encode(0x30, {static_cast<std::uint8_t>(data)}, kFrameRegisterWrite);
    ASSERT_GE(encoded.size(), 2u);
    EXPECT_EQ(encoded[encoded.size() - 2], 0x7D);
    EXPECT_EQ(encoded.back(), 0x5E);
    seen = true;
  }
  EXPECT_TRUE(seen);
}

TEST(CommandFrame, DataOneFrameCannotCarryIsRefused) {
  std::uint8_t out[kFrameBufferSize];
  const Bytes big(256, 1);
  std::int64_t length = 256;
  EXPECT_EQ(EncodeCommandFrame(out, 0x10, big.data(), &length, kFrameRegisterWrite), 0);
  EXPECT_EQ(length, 0);
  length = -1;
  EXPECT_EQ(EncodeCommandFrame(out, 0x10, big.data(), &length, kFrameRegisterWrite), 0);

  // 248 bytes fit even when every byte is escaped; 255 such bytes do not.
  Bytes plain = {0x03, 248, 0, 0, 0, 0x10};
  plain.resize(plain.size() + 248, 0x7E);
  plain.push_back(test::ReferenceCrc8(plain));
  EXPECT_EQ(Encode(0x10, Bytes(248, 0x7E), kFrameRegisterWrite), test::Escape(plain));
  length = 255;
  const Bytes flags(255, 0x7E);
  EXPECT_EQ(EncodeCommandFrame(out, 0x10, flags.data(), &length, kFrameRegisterWrite), 0);
  // 255 plain bytes fit.
  const Bytes plainData(255, 0x11);
  length = 255;
  EXPECT_GT(EncodeCommandFrame(out, 0x10, plainData.data(), &length, kFrameRegisterWrite), 0);
}

TEST(CommandFrame, AddressIsWidenedWithItsSignAndCutToFourBytes) {
  const Bytes encoded = Encode(-2, {}, kFrameRegisterRead);
  EXPECT_EQ(encoded[3], 0xFF);
  EXPECT_EQ(encoded[6], 0xFE);
}

}  // namespace
}  // namespace lumo::command
