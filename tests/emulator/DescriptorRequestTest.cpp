// Endpoint-zero requests of emulated devices: descriptors, stalls, the
// standard requests that select settings, and vendor requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EmulatorTestSupport.h"

namespace lumo::test {
namespace {

using emulator::DescriptorSet;
using emulator::EmulatedDevice;

std::string Utf16ToAscii(const std::vector<std::uint8_t>& descriptor) {
  std::string text;
  for (std::size_t i = 2; i + 1 < descriptor.size(); i += 2) {
    EXPECT_EQ(descriptor[i + 1], 0) << "non-ASCII character at " << i;
    text += static_cast<char>(descriptor[i]);
  }
  return text;
}

class CameraDescriptorTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override { Open(EmulatedDevice::Camera("EMU0042")); }
};

TEST_F(CameraDescriptorTest, DeviceDescriptorDescribesAUsb3Camera) {
  std::vector<std::uint8_t> d;
  std::vector<std::uint8_t> record;
  Reply reply = GetDescriptor(handle, 1, 0, 18, &d, &record);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.bytes, 56u);  // header + 18 data bytes
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(Get16(d, 2), 0x0300);
  EXPECT_EQ(d[7], 9);  // 2^9 = 512-byte endpoint zero
  EXPECT_EQ(Get16(d, 8), 0x04B4);
  EXPECT_EQ(Get16(d, 10), 0x00F1);
  EXPECT_EQ(d[17], 1);               // one configuration
  EXPECT_EQ(Get32(record, 14), 0u);  // system status
  EXPECT_EQ(Get32(record, 18), 0u);  // USB status

  // A shorter wLength cuts the answer; a longer one does not extend it.
  reply = GetDescriptor(handle, 1, 0, 8, &d);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, kHeader + 8);
  reply = GetDescriptor(handle, 1, 0, 64, &d);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, kHeader + 18);
}

TEST_F(CameraDescriptorTest, StringsAreUtf16WithAnEnglishLanguageTable) {
  std::vector<std::uint8_t> languages;
  ASSERT_TRUE(GetDescriptor(handle, 3, 0, 255, &languages).ok);
  ASSERT_EQ(languages.size(), 4u);
  EXPECT_EQ(languages[0], 4);
  EXPECT_EQ(languages[1], 3);
  EXPECT_EQ(Get16(languages, 2), 0x0409);

  std::vector<std::uint8_t> deviceDescriptor;
  ASSERT_TRUE(GetDescriptor(handle, 1, 0, 18, &deviceDescriptor).ok);
  std::vector<std::string> texts;
  for (std::size_t field : {14u, 15u, 16u}) {  // manufacturer, product, serial
    ASSERT_NE(deviceDescriptor[field], 0);
    std::vector<std::uint8_t> s;
    ASSERT_TRUE(GetDescriptor(handle, 3, deviceDescriptor[field], 255, &s).ok);
    ASSERT_GE(s.size(), 2u);
    EXPECT_EQ(s[0], s.size());
    EXPECT_EQ(s[1], 3);
    texts.push_back(Utf16ToAscii(s));
  }
  EXPECT_FALSE(texts[0].empty());
  EXPECT_FALSE(texts[1].empty());
  EXPECT_EQ(texts[2], "EMU0042");
}

TEST_F(CameraDescriptorTest, ConfigurationHeaderFirstThenWhole) {
  std::vector<std::uint8_t> head;
  Reply reply = GetDescriptor(handle, 2, 0, 9, &head);
  ASSERT_TRUE(reply.ok);
  ASSERT_EQ(head.size(), 9u);
  const std::uint16_t total = Get16(head, 2);
  EXPECT_EQ(total, 9 + 9 + 7 + 6);

  std::vector<std::uint8_t> set;
  reply = GetDescriptor(handle, 2, 0, total, &set);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, kHeader + total);
  ASSERT_EQ(set.size(), total);
  EXPECT_EQ(set[4], 1);  // one interface
  EXPECT_EQ(set[5], 1);  // bConfigurationValue
  // Interface 0, alternate 0, one endpoint, vendor class.
  EXPECT_EQ(set[9], 9);
  EXPECT_EQ(set[10], 4);
  EXPECT_EQ(set[11], 0);
  EXPECT_EQ(set[12], 0);
  EXPECT_EQ(set[13], 1);
  EXPECT_EQ(set[14], 0xFF);
  // Bulk IN 0x81 of 1024 bytes, then its SuperSpeed companion.
  EXPECT_EQ(set[18], 7);
  EXPECT_EQ(set[19], 5);
  EXPECT_EQ(set[20], 0x81);
  EXPECT_EQ(set[21], 0x02);
  EXPECT_EQ(Get16(set, 22), 1024);
  EXPECT_EQ(set[25], 6);
  EXPECT_EQ(set[26], 0x30);
  EXPECT_EQ(set[27], 15);

  // Asking for more than the set holds returns the set.
  reply = GetDescriptor(handle, 2, 0, 1000, &set);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(set.size(), total);
}

TEST_F(CameraDescriptorTest, BosHoldsUsb2SuperSpeedAndContainerIdCapabilities) {
  std::vector<std::uint8_t> head;
  ASSERT_TRUE(GetDescriptor(handle, 0x0F, 0, 5, &head).ok);
  ASSERT_EQ(head.size(), 5u);
  EXPECT_EQ(head[1], 0x0F);
  EXPECT_EQ(head[4], 3);
  const std::uint16_t total = Get16(head, 2);

  std::vector<std::uint8_t> bos;
  ASSERT_TRUE(GetDescriptor(handle, 0x0F, 0, total, &bos).ok);
  ASSERT_EQ(bos.size(), total);
  std::vector<std::pair<int, int>> caps;  // (capability type, length)
  for (std::size_t at = 5; at + 3 <= bos.size(); at += bos[at]) {
    ASSERT_GE(bos[at], 3);
    EXPECT_EQ(bos[at + 1], 0x10);
    caps.emplace_back(bos[at + 2], bos[at]);
  }
  EXPECT_EQ(caps, (std::vector<std::pair<int, int>>{{2, 7}, {3, 10}, {4, 20}}));
  EXPECT_EQ(total, 5 + 7 + 10 + 20);
}

TEST_F(CameraDescriptorTest, MissingDescriptorsAndUnknownRequestsStall) {
  struct Case {
    const char* what;
    std::uint8_t type;
    std::uint8_t index;
  };
  for (const Case& c : {Case{"string 9", 3, 9}, Case{"configuration 1", 2, 1},
                        Case{"device qualifier", 6, 0}, Case{"device index 1", 1, 1}}) {
    std::vector<std::uint8_t> record;
    const Reply reply = GetDescriptor(handle, c.type, c.index, 64, nullptr, &record);
    EXPECT_FALSE(reply.ok) << c.what;
    EXPECT_EQ(reply.error, platform::kErrorGenFailure) << c.what;
    EXPECT_EQ(Get32(record, 18), emulator::kStallUsbStatus) << c.what;
    EXPECT_NE(Get32(record, 18), 0u) << c.what;
  }
  // Vendor requests the firmware does not serve stall (the command channel
  // is addressed to an endpoint, not to the device).
  auto vendor = ControlRecord(0xC0, 0xFE, 0xF000, 0, 16, 16);
  EXPECT_EQ(InOut(handle, kControl, vendor).error, platform::kErrorGenFailure);
  EXPECT_EQ(Get32(vendor, 18), emulator::kStallUsbStatus);
  EXPECT_EQ(device->StalledRequests(), 5u);
  EXPECT_EQ(device->RefusedRequests(), 0u);
}

TEST_F(CameraDescriptorTest, MalformedRecordsAreRejected) {
  std::vector<std::uint8_t> shortRecord(20, 0);
  EXPECT_EQ(InOut(handle, kControl, shortRecord).error, platform::kErrorInvalidParameter);
  // Data area past the end of the buffer.
  auto record = ControlRecord(0x80, 6, 0x0100, 0, 18, 18);
  Put32(record, 34, 100);
  EXPECT_EQ(InOut(handle, kControl, record).error, platform::kErrorInvalidParameter);
}

// A firmware stand-in: answers IN request 0x10 with its wValue, keeps the
// data of OUT request 0x11, refuses everything else.
class EchoFirmware : public emulator::VendorRequestHandler {
 public:
  explicit EchoFirmware(std::vector<std::uint8_t>* received) : received_(received) {}
  bool OnVendorRequest(const emulator::SetupPacket& setup,
                       std::vector<std::uint8_t>& data) override {
    if (setup.request == 0x10) {
      data = {static_cast<std::uint8_t>(setup.value), static_cast<std::uint8_t>(setup.value >> 8),
              0xAA, 0xBB, 0xCC};
      return true;
    }
    if (setup.request == 0x11) {
      *received_ = data;
      return true;
    }
    return false;
  }

 private:
  std::vector<std::uint8_t>* received_;
};

TEST_F(CameraDescriptorTest, VendorRequestsReachTheInstalledHandler) {
  std::vector<std::uint8_t> received;
  device->SetVendorRequestHandler(std::make_unique<EchoFirmware>(&received));

  auto in = ControlRecord(0xC0, 0x10, 0x1234, 0, 4, 4);  // wLength cuts the 5-byte answer
  Reply reply = InOut(handle, kControl, in);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.bytes, kHeader + 4);
  EXPECT_EQ(std::vector<std::uint8_t>(in.begin() + kHeader, in.end()),
            (std::vector<std::uint8_t>{0x34, 0x12, 0xAA, 0xBB}));

  auto out = ControlRecord(0x40, 0x11, 0, 0, 3, 3);
  out[kHeader] = 7;
  out[kHeader + 1] = 8;
  out[kHeader + 2] = 9;
  reply = InOut(handle, kControl, out);
  ASSERT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.bytes, kHeader + 3);
  EXPECT_EQ(received, (std::vector<std::uint8_t>{7, 8, 9}));

  auto refused = ControlRecord(0xC0, 0x12, 0, 0, 4, 4);
  EXPECT_EQ(InOut(handle, kControl, refused).error, platform::kErrorGenFailure);

  device->SetVendorRequestHandler(nullptr);
  EXPECT_FALSE(InOut(handle, kControl, in).ok);
}

// Interface 0 with alternate 0 (no endpoints) and alternate 1 (bulk IN 0x82,
// a class-specific descriptor in between), as a USB 2 device.
DescriptorSet TwoAlternates() {
  DescriptorSet set;
  set.device = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
  set.configurations[0] = {9, 2, 34,   0,    1,    7,    0, 0x80, 50,  // bConfigurationValue 7
                           9, 4, 0,    0,    0,    0xFF, 0, 0,    0,   // alternate 0
                           9, 4, 0,    1,    1,    0xFF, 0, 0,    0,   // alternate 1
                           7, 5, 0x82, 0x02, 0x00, 0x02, 0};           // bulk IN 0x82, 512
  set.strings[0] = emulator::LanguageTableDescriptor();
  return set;
}

TEST(EmulatedSettingsTest, SetInterfaceSelectsTheAlternateTheDriverReports) {
  auto device = std::make_unique<EmulatedDevice>(emulator::DeviceIdentity{0x1234, 0x5678, "ALT"},
                                                 TwoAlternates());
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());
  ASSERT_NE(handle, platform::InvalidHandle());
  EXPECT_EQ(device->CurrentConfiguration(), 7);

  auto alternate = [&] {
    std::vector<std::uint8_t> b(1, 0xEE);
    const Reply reply = InOut(handle, kGetAlternate, b);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.bytes, 1u);
    return b[0];
  };
  EXPECT_EQ(alternate(), 0);

  // Alternate 0 has no endpoint 0x82: a transfer there stalls.
  Overlapped early;
  ASSERT_TRUE(early.Direct(handle, 0x82, 64));
  EXPECT_EQ(early.Wait(handle).error, platform::kErrorGenFailure);

  auto setInterface = ControlRecord(0x01, 11, 1, 0, 0, 0);
  ASSERT_TRUE(InOut(handle, kControl, setInterface).ok);
  EXPECT_EQ(alternate(), 1);
  EXPECT_EQ(device->CurrentAlternate(0), 1);

  Overlapped read;
  ASSERT_TRUE(read.Direct(handle, 0x82, 64));
  EXPECT_EQ(device->PendingTransfers(0x82), 1u);
  device->PushInData(0x82, Pattern(10, 1));
  const Reply done = read.Wait(handle);
  ASSERT_TRUE(done.ok);
  EXPECT_EQ(done.bytes, 10u);

  // Settings the descriptors do not have stall and change nothing.
  auto missing = ControlRecord(0x01, 11, 5, 0, 0, 0);
  EXPECT_EQ(InOut(handle, kControl, missing).error, platform::kErrorGenFailure);
  auto otherInterface = ControlRecord(0x01, 11, 0, 3, 0, 0);
  EXPECT_EQ(InOut(handle, kControl, otherInterface).error, platform::kErrorGenFailure);
  EXPECT_EQ(alternate(), 1);

  // SET_CONFIGURATION resets the alternates; an unknown value stalls.
  auto badConfiguration = ControlRecord(0x00, 9, 2, 0, 0, 0);
  EXPECT_FALSE(InOut(handle, kControl, badConfiguration).ok);
  auto configuration = ControlRecord(0x00, 9, 7, 0, 0, 0);
  ASSERT_TRUE(InOut(handle, kControl, configuration).ok);
  EXPECT_EQ(alternate(), 0);
  auto getConfiguration = ControlRecord(0x80, 8, 0, 0, 1, 1);
  ASSERT_TRUE(InOut(handle, kControl, getConfiguration).ok);
  EXPECT_EQ(getConfiguration[kHeader], 7);

  platform::CloseHandle(handle);
}

TEST(EmulatedDescriptorSetTest, OtherDevicesArePlainUsb2Devices) {
  auto device = EmulatedDevice::OtherDevice("PLAIN1", 0x04B4, 0x00F3);
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());
  std::vector<std::uint8_t> d;
  ASSERT_TRUE(GetDescriptor(handle, 1, 0, 18, &d).ok);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(Get16(d, 2), 0x0200);
  EXPECT_EQ(d[7], 64);
  EXPECT_EQ(Get16(d, 10), 0x00F3);
  EXPECT_FALSE(GetDescriptor(handle, 0x0F, 0, 5, &d).ok);  // no BOS
  std::vector<std::uint8_t> serial;
  ASSERT_TRUE(GetDescriptor(handle, 3, 3, 255, &serial).ok);
  EXPECT_EQ(Utf16ToAscii(serial), "PLAIN1");
  platform::CloseHandle(handle);
}

TEST(EmulatedDescriptorSetTest, ConfiguredBytesArePresentedAsTheyAre) {
  // wTotalLength claims 60 bytes but the set holds 27; a class-specific
  // descriptor (type 0x24) sits after the interface.
  DescriptorSet set;
  set.device = {18, 1, 0x10, 0x02, 0, 0, 0, 64, 0xAD, 0xDE, 0xEF, 0xBE, 0, 1, 0, 0, 0, 1};
  set.configurations[0] = {9,    2, 60, 0, 1, 1,    0, 0x80, 50, 9, 4, 0, 0, 0,
                           0xFF, 0, 0,  0, 9, 0x24, 1, 2,    3,  4, 5, 6, 7};
  set.strings[0] = emulator::LanguageTableDescriptor();
  set.strings[5] = {6, 3, 'h', 0, 'i', 0};
  auto device =
      std::make_unique<EmulatedDevice>(emulator::DeviceIdentity{0xDEAD, 0xBEEF, "RAW"}, set);
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());

  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(GetDescriptor(handle, 1, 0, 18, &bytes).ok);
  EXPECT_EQ(bytes, set.device);
  ASSERT_TRUE(GetDescriptor(handle, 2, 0, 60, &bytes).ok);
  EXPECT_EQ(bytes, set.configurations[0]);
  ASSERT_TRUE(GetDescriptor(handle, 3, 5, 255, &bytes).ok);
  EXPECT_EQ(bytes, set.strings[5]);
  EXPECT_FALSE(GetDescriptor(handle, 3, 1, 255, &bytes).ok);

  // Replacing the set takes effect for the next request.
  set.device[2] = 0x00;
  device->SetDescriptors(set);
  ASSERT_TRUE(GetDescriptor(handle, 1, 0, 18, &bytes).ok);
  EXPECT_EQ(Get16(bytes, 2), 0x0200);
  EXPECT_EQ(device->Descriptors().device, set.device);
  platform::CloseHandle(handle);
}

}  // namespace
}  // namespace lumo::test
