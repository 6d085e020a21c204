// The library on the libusb backend, against emulated cameras that the
// usbfs bridge stands in front of the real libusb-1.0 through umockdev:
// discovery, registers and the buffer channel on endpoint zero, raw and
// line-packet frames checked byte for byte, and unplug and replug with the
// camera re-attached and its acquisition resumed without any call.
//
// Runs under umockdev-wrapper; the test bed is made before the library
// first initialises libusb.
#include <gtest/gtest.h>
#include <umockdev.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/Platform.h"
#include "platform/virtual/VirtualBus.h"
#include "usbfs/UsbfsBridge.h"

namespace lumo {
namespace {

using emulator::EmulatedDevice;
using emulator::StreamConfig;
using emulator::UsbfsBridge;
using Clock = std::chrono::steady_clock;

UMockdevTestbed* testbed = nullptr;

class TestbedEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    testbed = umockdev_testbed_new();
    ASSERT_TRUE(umockdev_in_mock_environment()) << "run this program under umockdev-wrapper";
  }
  void TearDown() override {
    if (testbed) g_object_unref(testbed);
  }
};

const ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new TestbedEnvironment);

std::string ExpectedPath(const std::string& serialLowerCase) {
  return "\\\\?\\usb#vid_04b4&pid_00f1#" + serialLowerCase +
         "#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
}

// The device ID of the camera registered under `path`, waiting for its
// arrival; nullptr if it does not come within the limit.
void* WaitForCamera(LumoUsbManager& manager, const std::string& path,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = Clock::now() + limit;
  do {
    for (int index = 0; index < 32; ++index) {
      void* id = manager.GetDeviceIDForIndex(index);
      if (id != reinterpret_cast<void*>(~std::uintptr_t{0}) && id &&
          path == static_cast<const char*>(id))
        return id;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (Clock::now() < end);
  return nullptr;
}

bool GoneFromRegistry(LumoUsbManager& manager, const std::string& path) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end) {
    bool listed = false;
    for (int index = 0; index < 32 && !listed; ++index) {
      void* id = manager.GetDeviceIDForIndex(index);
      listed = id != reinterpret_cast<void*>(~std::uintptr_t{0}) && id &&
               path == static_cast<const char*>(id);
    }
    if (!listed) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A camera on the emulated usbfs, found and opened through libusb.
class LibusbCamera : public ::testing::Test {
 protected:
  void Open(const std::string& serial, const std::string& port) {
    camera = EmulatedDevice::Camera(serial);
    bridge = std::make_unique<UsbfsBridge>(testbed, *camera, 1, port);
    ASSERT_TRUE(bridge->Plug());
    std::string lower = serial;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    path = ExpectedPath(lower);
    void* id = WaitForCamera(manager, path);
    if (!id) {
      for (int index = 0; index < 32; ++index) {
        void* other = manager.GetDeviceIDForIndex(index);
        if (other != reinterpret_cast<void*>(~std::uintptr_t{0}) && other)
          ADD_FAILURE() << "registered at " << index << ": " << static_cast<const char*>(other);
      }
    }
    ASSERT_NE(id, nullptr) << "the camera did not arrive through libusb: " << path << " count "
                           << manager.DeviceCount();
    handle = manager.OpenDevice(id);
    ASSERT_NE(handle, reinterpret_cast<void*>(~std::uintptr_t{0}));
  }

  void TearDown() override {
    if (handle) manager.CloseDevice(handle);
    bridge.reset();
    camera.reset();
  }

  void SmallRawFrames(std::uint64_t limit) {
    StreamConfig config = camera->Stream().Config();
    config.mode = emulator::StreamMode::kRaw;
    config.width = 64;
    config.height = 48;
    config.pixelSize = 2;
    config.bytesPerSecond = 0;
    config.frameLimit = limit;
    camera->Stream().SetConfig(config);
  }

  const FrameRecordHeader* Take(unsigned timeoutMs = 10000) {
    void* image = nullptr;
    if (!manager.CameraGetImage(handle, &image, timeoutMs)) return nullptr;
    return static_cast<const FrameRecordHeader*>(image);
  }

  static ::testing::AssertionResult RawImageMatches(const FrameRecordHeader& frame) {
    const std::size_t bytes = std::size_t{frame.width} * frame.height * 2;
    for (std::size_t i = 0; i < bytes; ++i)
      if (frame.imageAddress[i] !=
          emulator::RawImageByte(frame.frameNumber, static_cast<std::uint32_t>(i)))
        return ::testing::AssertionFailure()
               << "frame " << frame.frameNumber << " differs at byte " << i;
    return ::testing::AssertionSuccess();
  }

  LumoUsbManager manager;
  std::unique_ptr<EmulatedDevice> camera;
  std::unique_ptr<UsbfsBridge> bridge;
  std::string path;
  void* handle = nullptr;
};

TEST_F(LibusbCamera, RegistersAndTheBufferChannelGoThroughLibusb) {
  ASSERT_NO_FATAL_FAILURE(Open("LUSB0001", "1-1"));
  std::uint8_t written[4] = {0xA1, 0xB2, 0xC3, 0xD4};
  std::uint8_t answer[4];
  std::memcpy(answer, written, 4);
  ASSERT_TRUE(manager.SetupCommand(handle, 0x20, answer, 4, 2000));
  std::uint8_t read[4] = {};
  ASSERT_TRUE(manager.ReadCommand(handle, 0x20, read, 4, 2000));
  EXPECT_EQ(0, std::memcmp(read, written, 4));
  EXPECT_EQ(camera->Firmware().Register(0x20), (std::vector<std::uint8_t>{written, written + 4}));

  std::vector<std::uint8_t> message(450);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(
      manager.CameraSendBuffer(handle, message.data(), static_cast<int>(message.size()), 2000));
  std::vector<std::uint8_t> received;
  while (received.size() < message.size()) {
    std::uint8_t chunk[1024];
    int length = sizeof(chunk);
    if (!manager.CameraReadBuffer(handle, chunk, &length, 3000)) break;
    received.insert(received.end(), chunk, chunk + length);
  }
  EXPECT_EQ(received, message);
  EXPECT_GT(bridge->UrbsSubmitted(), 0u);
}

TEST_F(LibusbCamera, RawAndLinePacketFramesArriveByteForByte) {
  ASSERT_NO_FATAL_FAILURE(Open("LUSB0002", "1-2"));
  SmallRawFrames(4);
  manager.SetPixelSize(handle, 2);
  ASSERT_TRUE(manager.StartAcq(handle));
  std::uint32_t previous = 0;
  for (int i = 0; i < 4; ++i) {
    const FrameRecordHeader* frame = Take();
    ASSERT_NE(frame, nullptr) << "frame " << i;
    EXPECT_EQ(frame->width, 64u);
    EXPECT_EQ(frame->height, 48u);
    if (i > 0) {
      EXPECT_GT(frame->frameNumber, previous);
    }
    previous = frame->frameNumber;
    EXPECT_TRUE(RawImageMatches(*frame));
  }
  ASSERT_TRUE(manager.StopAcq(handle));

  StreamConfig config = camera->Stream().Config();
  config.mode = emulator::StreamMode::kLinePacket;
  config.frameLimit = 2;
  camera->Stream().SetConfig(config);
  ASSERT_TRUE(manager.StartAcq(handle));
  for (int i = 0; i < 2; ++i) {
    const FrameRecordHeader* frame = Take(20000);
    ASSERT_NE(frame, nullptr) << "line-packet frame " << i;
    ASSERT_EQ(frame->width, emulator::kLineWidth);
    ASSERT_EQ(frame->height, emulator::kLinesPerFrame);
    EXPECT_EQ(frame->infoWord0, emulator::InfoWord(frame->frameNumber, 0));
    bool same = true;
    for (std::uint32_t line = 0; line < emulator::kLinesPerFrame && same; ++line) {
      for (std::uint32_t word = 0; word < emulator::kLineWords && same; ++word) {
        const std::uint16_t expected = emulator::LineWord(frame->frameNumber, line, word);
        const std::uint8_t* at = frame->imageAddress + line * emulator::kLineWidth + 2 * word;
        same = at[0] == (expected & 0xFF) && at[1] == (expected >> 8);
        EXPECT_TRUE(same) << "frame " << frame->frameNumber << " line " << line << " word " << word;
      }
    }
  }
  EXPECT_TRUE(manager.StopAcq(handle));
}

TEST_F(LibusbCamera, UnpluggedAndReplugged_ItIsReattachedAndFramesResume) {
  ASSERT_NO_FATAL_FAILURE(Open("LUSB0003", "1-3"));
  SmallRawFrames(0);
  StreamConfig config = camera->Stream().Config();
  config.bytesPerSecond = 200000;  // about 30 frames a second
  camera->Stream().SetConfig(config);
  manager.SetPixelSize(handle, 2);
  ASSERT_TRUE(manager.StartAcq(handle));
  ASSERT_NE(Take(), nullptr);

  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_TRUE(bridge->Unplug());
    // The removal reaches the library through libusb's hot-plug: its calls
    // on the camera fail at once while it is away.
    const auto end = Clock::now() + std::chrono::seconds(10);
    std::uint8_t bytes[4] = {};
    while (Clock::now() < end && manager.ReadCommand(handle, 0x20, bytes, 4, 200))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(manager.ReadCommand(handle, 0x20, bytes, 4, 200)) << "cycle " << cycle;

    ASSERT_TRUE(bridge->Plug());
    // Nothing is called to bring it back: frames simply resume.
    const FrameRecordHeader* frame = nullptr;
    const auto resumeEnd = Clock::now() + std::chrono::seconds(15);
    while (!frame && Clock::now() < resumeEnd) frame = Take(500);
    ASSERT_NE(frame, nullptr) << "frames did not resume after replug " << cycle;
    EXPECT_TRUE(RawImageMatches(*frame));
  }
  EXPECT_TRUE(manager.StopAcq(handle));
  EXPECT_TRUE(manager.CloseDevice(handle));
  handle = nullptr;

  // A camera that is not open is dropped when it leaves.
  ASSERT_TRUE(bridge->Unplug());
  EXPECT_TRUE(GoneFromRegistry(manager, path));
}

// The driver's side of the seam, request by request: what the library's
// USB layer relies on from any driver.
TEST(LibusbDriver, AnswersAbortsStallsAndClaimsAsTheKernelDriverDoes) {
  auto camera = EmulatedDevice::Camera("LUSB0004");
  UsbfsBridge bridge(testbed, *camera, 1, "1-4");
  ASSERT_TRUE(bridge.Plug());
  LumoUsbManager manager;  // starts the libusb driver if no test did
  ASSERT_NE(WaitForCamera(manager, ExpectedPath("lusb0004")), nullptr);
  const platform::Handle device = platform::OpenDevicePath(ExpectedPath("lusb0004"));
  ASSERT_NE(device, platform::InvalidHandle());
  EXPECT_TRUE(bridge.InterfaceClaimed());

  // A 38-byte header, then the data.
  const auto record = [](std::uint8_t type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t length, std::uint8_t endpoint) {
    std::vector<std::uint8_t> bytes(38 + length, 0);
    bytes[0] = type;
    bytes[1] = request;
    bytes[2] = static_cast<std::uint8_t>(value);
    bytes[3] = static_cast<std::uint8_t>(value >> 8);
    bytes[6] = static_cast<std::uint8_t>(length);
    bytes[7] = static_cast<std::uint8_t>(length >> 8);
    bytes[8] = 2;  // seconds
    bytes[13] = endpoint;
    bytes[30] = 38;
    bytes[34] = static_cast<std::uint8_t>(length);
    bytes[35] = static_cast<std::uint8_t>(length >> 8);
    return bytes;
  };
  const auto le32 = [](const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
  };
  std::uint32_t bytes = 0;

  // The device descriptor through a control transfer; the count includes
  // the header.
  auto descriptor = record(0x80, 6, 0x0100, 18, 0);
  const auto size = static_cast<std::uint32_t>(descriptor.size());
  ASSERT_TRUE(platform::IoControl(device, 0x220020, descriptor.data(), size, descriptor.data(),
                                  size, &bytes, nullptr));
  EXPECT_EQ(bytes, 38u + 18u);
  EXPECT_EQ(std::vector<std::uint8_t>(descriptor.begin() + 38, descriptor.end()),
            camera->Descriptors().device);

  // A request the camera does not know stalls: ERROR_GEN_FAILURE with the
  // stall status words in the header.
  auto unknown = record(0xC0, 0x7E, 0, 8, 0);
  const auto unknownSize = static_cast<std::uint32_t>(unknown.size());
  EXPECT_FALSE(platform::IoControl(device, 0x220020, unknown.data(), unknownSize, unknown.data(),
                                   unknownSize, &bytes, nullptr));
  EXPECT_EQ(platform::LastError(), platform::kErrorGenFailure);
  EXPECT_EQ(le32(unknown.data() + 18), 0xC0000004u);

  // Reads waiting on the stream endpoint all end with 995 when it is aborted.
  constexpr int kReads = 6;
  std::vector<std::vector<std::uint8_t>> headers(kReads, record(0, 0, 0, 0, 0x81));
  std::vector<std::vector<std::uint8_t>> data(kReads, std::vector<std::uint8_t>(4096));
  std::vector<platform::Overlapped> overlapped(kReads);
  for (int i = 0; i < kReads; ++i) {
    overlapped[i].event = platform::CreateEventObject(true, false);
    EXPECT_FALSE(platform::IoControl(device, 0x22004B, headers[i].data(), 38, data[i].data(), 4096,
                                     nullptr, &overlapped[i]));
    EXPECT_EQ(platform::LastError(), platform::kErrorIoPending);
  }
  std::uint8_t endpoint = 0x81;
  EXPECT_TRUE(platform::IoControl(device, 0x220044, &endpoint, 1, nullptr, 0, &bytes, nullptr));
  for (int i = 0; i < kReads; ++i) {
    EXPECT_EQ(platform::WaitForEvent(overlapped[i].event, 5000), platform::kWaitObject0);
    EXPECT_FALSE(platform::OverlappedResult(device, &overlapped[i], &bytes, false));
    EXPECT_EQ(platform::LastError(), platform::kErrorOperationAborted) << "read " << i;
    platform::CloseHandle(overlapped[i].event);
  }

  // The driver's own values, and a code it does not serve.
  std::uint8_t text[256] = {};
  EXPECT_TRUE(platform::IoControl(device, 0x22003C, text, sizeof(text), text, sizeof(text), &bytes,
                                  nullptr));
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "Lumo libusb-1.0 driver");
  EXPECT_FALSE(platform::IoControl(device, 0x220FF0, text, 4, text, 4, &bytes, nullptr));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidFunction);

  // Closing the last handle gives the interface back.
  platform::CloseHandle(device);
  EXPECT_FALSE(bridge.InterfaceClaimed());
}

}  // namespace
}  // namespace lumo
