// The flat functions over two emulated cameras, plugged before the
// process-wide manager is made (ctest runs each test in its own process).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "flat/ImageInfoRecord.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "lumo/lumo_u3v.h"

namespace lumo::flat {
namespace {

std::vector<std::unique_ptr<emulator::EmulatedDevice>> cameras;

struct TwoCameras : ::testing::Environment {
  void SetUp() override {
    for (const char* serial : {"FLAT1", "FLAT2"}) {
      cameras.push_back(emulator::EmulatedDevice::Camera(serial));
      ASSERT_TRUE(cameras.back()->Plug());
    }
  }
  void TearDown() override { cameras.clear(); }
};
[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new TwoCameras);

void* Open(unsigned index) {
  LUMO_U3V_DeviceInfo info{};
  std::uint16_t count = 0;
  EXPECT_EQ(LUMO_U3V_DiscoveryDevices(&count) | LUMO_U3V_GetDeviceInfo(index, &info), 0u);
  void* handle = nullptr;
  EXPECT_EQ(LUMO_U3V_OpenDevice(&info.deviceId, &handle, nullptr, nullptr), LUMO_U3V_OK);
  return handle;
}

LumoUsbManager& Manager() { return *static_cast<LumoUsbManager*>(LUMO_U3V_GetManager()); }

TEST(FlatDevices, DiscoverOpenAndAccessRegisters) {
  std::uint16_t count = 0xFFFF;
  ASSERT_EQ(LUMO_U3V_DiscoveryDevices(&count), LUMO_U3V_OK);
  EXPECT_EQ(count, 2);

  // The ID lands at byte 8, pointer-sized; no other byte is written. Only
  // the low 16 bits of the index count: 0x10001 is index 1.
  unsigned char record[sizeof(LUMO_U3V_DeviceInfo) + 8];
  std::memset(record, 0x5A, sizeof(record));
  ASSERT_EQ(LUMO_U3V_GetDeviceInfo(0x10001, reinterpret_cast<LUMO_U3V_DeviceInfo*>(record)), 0u);
  void* id = nullptr;
  std::memcpy(&id, record + 8, sizeof(id));
  EXPECT_EQ(id, Manager().GetDeviceIDForIndex(1));
  std::memset(record + 8, 0x5A, sizeof(id));
  for (unsigned char byte : record) EXPECT_EQ(byte, 0x5A);

  void* handle = Open(0);
  std::uint8_t written[4] = {0x11, 0x22, 0x33, 0x44};
  std::uint8_t read[4] = {};
  EXPECT_EQ(LUMO_U3V_ControlSet(handle, 0x1234, written, 4, 2000), LUMO_U3V_OK);
  EXPECT_EQ(cameras[0]->Firmware().Register(0x1234),
            std::vector<std::uint8_t>(written, written + 4));
  EXPECT_EQ(LUMO_U3V_ControlRead(handle, 0x1234, read, 4, 2000), LUMO_U3V_OK);
  EXPECT_EQ(std::memcmp(read, written, 4), 0);
  EXPECT_EQ(LUMO_U3V_CloseDevice(handle), LUMO_U3V_OK);

  // A path that names no camera: result 0, an all-ones handle that fails.
  char unknown[] = "\\\\?\\usb#vid_04b4&pid_00f1#nothere";
  void* unknownId = unknown;
  void* none = nullptr;
  EXPECT_EQ(LUMO_U3V_OpenDevice(&unknownId, &none, nullptr, nullptr), LUMO_U3V_OK);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(none), UINTPTR_MAX);
  EXPECT_EQ(LUMO_U3V_ControlSet(none, 0x1234, written, 4, 100), LUMO_U3V_ERROR);
  EXPECT_EQ(LUMO_U3V_ControlRead(handle, 0x1234, read, 4, 100), LUMO_U3V_ERROR);  // closed
}

TEST(FlatDevices, BufferChannelDataUsesTheLow16BitsOfTheLengthAndOneSecond) {
  void* handle = Open(0);
  // Room for the whole length argument, should more than 16 bits be used.
  std::vector<std::uint8_t> source(0x10005, 0xA5);
  ASSERT_EQ(LUMO_U3V_WriteData(handle, 0x10005, source.data()), LUMO_U3V_OK);
  std::uint8_t echo[64] = {};  // the camera echoes the bytes it got
  std::int32_t length = sizeof(echo);
  ASSERT_EQ(LUMO_U3V_ReadData(handle, &length, echo), LUMO_U3V_OK);
  EXPECT_EQ(length, 5);

  length = sizeof(echo);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(LUMO_U3V_ReadData(handle, &length, echo), LUMO_U3V_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
  EXPECT_EQ(length, 64);
  EXPECT_EQ(LUMO_U3V_CloseDevice(handle), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_WriteData(handle, 5, source.data()), LUMO_U3V_TIMEOUT);
}

// Raw frames of 65 x 7 pixels, `depth` bytes per pixel on the host. The
// emulated camera sends at most 8 bytes per pixel; at 8 and 9 the frame
// fills one data block either way.
void StartRawFrames(void* handle, std::uint32_t depth, std::uint64_t frames) {
  emulator::StreamConfig config = cameras[0]->Stream().Config();
  config.width = 65;
  config.height = 7;
  config.pixelSize = depth;
  config.frameLimit = frames;
  config.bytesPerSecond = 0;
  cameras[0]->Stream().SetConfig(config);
  Manager().SetPixelSize(handle, static_cast<int>(depth));
  ASSERT_EQ(LUMO_U3V_AcquisitionStart(handle, nullptr), LUMO_U3V_OK);
}

const FrameRecordHeader& FrameOf(const LUMO_U3V_ImageInfo& info) {
  const std::uint64_t image = sizeof(void*) > 4 ? info.fullImageAddress : info.imageAddress;
  return *reinterpret_cast<const FrameRecordHeader*>(static_cast<std::uintptr_t>(image) -
                                                     kRawImageOffset);
}

TEST(FlatImages, GetImageDescribesTheFrameAndANullRecordStillTakesOne) {
  void* handle = Open(0);
  StartRawFrames(handle, 2, 3);
  LUMO_U3V_ImageInfo info;
  std::memset(&info, 0xCD, sizeof(info));
  ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, &info), LUMO_U3V_OK);
  const FrameRecordHeader& frame = FrameOf(info);
  const std::uint64_t address = reinterpret_cast<std::uintptr_t>(frame.imageAddress);
  // Packed fields are read by value (+), never bound to references.
  EXPECT_EQ(address, sizeof(void*) > 4 ? info.fullImageAddress : +info.imageAddress);
  EXPECT_EQ(+info.imageAddress, address <= UINT32_MAX ? address : 0u);
  EXPECT_EQ(+info.width, 65u);
  EXPECT_EQ(+info.height, 7u);
  EXPECT_EQ(+info.pixelFormat, LUMO_U3V_PIXEL_MONO8);
  EXPECT_EQ(info.zero20 | info.zero24, 0u);
  for (std::uint8_t byte : info.reserved0) EXPECT_EQ(byte, 0xCD);
  for (std::uint8_t byte : info.reserved36) EXPECT_EQ(byte, 0xCD);
  const std::uint32_t first = frame.frameNumber;

  ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, nullptr), LUMO_U3V_OK);
  ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, &info), LUMO_U3V_OK);
  EXPECT_EQ(FrameOf(info).frameNumber, first + 2);
  // The stream's three frames are taken: a time-out leaves the record alone.
  const LUMO_U3V_ImageInfo before = info;
  EXPECT_EQ(LUMO_U3V_GetImage(handle, 200, &info), LUMO_U3V_TIMEOUT);
  EXPECT_EQ(std::memcmp(&info, &before, sizeof(info)), 0);
  EXPECT_EQ(LUMO_U3V_AcquisitionStop(handle, nullptr, nullptr), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_CloseDevice(handle), LUMO_U3V_OK);
}

// Two buffers and twenty frames: the image taken first stays whole while
// the camera sends all the others, and the statistics say so too.
TEST(FlatImages, AnImageStaysPutUntilTheNextGetImageAndStatisticsCountTheLosses) {
  void* handle = Open(0);
  ASSERT_EQ(LUMO_U3V_SetBufferCount(handle, 2), LUMO_U3V_OK);
  StartRawFrames(handle, 2, 20);
  LUMO_U3V_ImageInfo info{};
  ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, &info), LUMO_U3V_OK);
  const FrameRecordHeader& held = FrameOf(info);
  ASSERT_TRUE(cameras[0]->Stream().WaitForFrames(20, std::chrono::seconds(10)));
  LumoCameraStatistics statistics{};
  do {  // the library has taken the camera's last frame once it is counted lost
    ASSERT_EQ(LUMO_U3V_GetStatistics(handle, &statistics), LUMO_U3V_OK);
  } while (statistics.framesLostNoBuffer < 18);
  LumoCameraStatistics viaManager{};
  ASSERT_TRUE(Manager().GetStatistics(handle, &viaManager));
  EXPECT_EQ(viaManager.framesLostNoBuffer, statistics.framesLostNoBuffer);
  for (std::uint32_t i = 0; i < 65 * 7 * 2; ++i)
    ASSERT_EQ(held.imageAddress[i], emulator::RawImageByte(held.frameNumber, i)) << i;

  ASSERT_EQ(LUMO_U3V_GetImage(handle, 0, &info), LUMO_U3V_OK);  // the one other buffer
  EXPECT_NE(&FrameOf(info), &held);
  EXPECT_EQ(LUMO_U3V_GetImage(handle, 0, &info), LUMO_U3V_TIMEOUT);
  EXPECT_EQ(LUMO_U3V_GetStatistics(handle, nullptr), LUMO_U3V_ERROR);
  EXPECT_EQ(LUMO_U3V_GetStatistics(reinterpret_cast<void*>(~std::uintptr_t{0}), &statistics),
            LUMO_U3V_ERROR);
  EXPECT_EQ(LUMO_U3V_AcquisitionStop(handle, nullptr, nullptr), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_CloseDevice(handle), LUMO_U3V_OK);
}

// Lent frames through the flat family: the frame's true format (a raw
// frame of 2 bytes per pixel is Mono16 here, whereas ImageInfo calls it
// Mono8), the count of frames held, and releases that are refused.
TEST(FlatImages, TakeFrameLendsFramesUntilTheyAreReleased) {
  void* handle = Open(0);
  ASSERT_EQ(LUMO_U3V_SetBufferCount(handle, 4), LUMO_U3V_OK);
  StartRawFrames(handle, 2, 4);
  LumoFrame first{}, second{};
  EXPECT_EQ(LUMO_U3V_TakeFrame(handle, 3000, nullptr), LUMO_U3V_ERROR);
  ASSERT_EQ(LUMO_U3V_TakeFrame(handle, 3000, &first), LUMO_U3V_OK);
  ASSERT_EQ(LUMO_U3V_TakeFrame(handle, 3000, &second), LUMO_U3V_OK);
  EXPECT_EQ(first.pixelFormat, LUMO_PIXEL_MONO16);
  EXPECT_EQ(first.bitsPerPixel, 16u);
  EXPECT_EQ(first.imageBytes, 65u * 7 * 2);
  EXPECT_EQ(second.sequence, first.sequence + 1);
  LUMO_U3V_ImageInfo info{};
  ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, &info), LUMO_U3V_OK);
  EXPECT_EQ(+info.pixelFormat, LUMO_U3V_PIXEL_MONO8);
  int held = -1;
  ASSERT_EQ(LUMO_U3V_GetHeldFrames(handle, &held), LUMO_U3V_OK);
  EXPECT_EQ(held, 3);
  // Three of four buffers lent: the next take fails at once.
  LumoFrame none{};
  EXPECT_EQ(LUMO_U3V_TakeFrame(handle, 3000, &none), LUMO_U3V_TIMEOUT);
  int kind = 0;
  unsigned int osError = 0;
  ASSERT_EQ(LUMO_U3V_GetLastError(&kind, &osError), LUMO_U3V_OK);
  EXPECT_EQ(kind, LUMO_ERROR_ALL_LENT);

  const auto* image = static_cast<const std::uint8_t*>(first.image);
  for (std::uint32_t i = 0; i < first.imageBytes; ++i)
    ASSERT_EQ(image[i], emulator::RawImageByte(first.cameraFrameNumber, i)) << i;
  EXPECT_EQ(LUMO_U3V_AcquisitionStop(handle, nullptr, nullptr), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_ReleaseFrame(handle, first.record), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_ReleaseFrame(handle, first.record), LUMO_U3V_ERROR);
  EXPECT_EQ(LUMO_U3V_ReleaseFrame(handle, &none), LUMO_U3V_ERROR);
  EXPECT_EQ(LUMO_U3V_CloseDevice(handle), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_ReleaseFrame(handle, second.record), LUMO_U3V_OK);  // after the close
  EXPECT_EQ(LUMO_U3V_GetHeldFrames(handle, nullptr), LUMO_U3V_ERROR);
}

TEST(FlatImages, PixelFormatIsMono8UpToDepth8) {
  void* handle = Open(0);
  for (std::uint32_t depth : {8u, 9u}) {
    StartRawFrames(handle, depth, 1);
    LUMO_U3V_ImageInfo info{};
    ASSERT_EQ(LUMO_U3V_GetImage(handle, 3000, &info), LUMO_U3V_OK) << "depth " << depth;
    EXPECT_EQ(FrameOf(info).depth, depth);
    EXPECT_EQ(+info.pixelFormat, depth == 8 ? LUMO_U3V_PIXEL_MONO8 : LUMO_U3V_PIXEL_MONO16);
    EXPECT_EQ(LUMO_U3V_AcquisitionStop(handle, nullptr, nullptr), LUMO_U3V_OK);
  }
  LUMO_U3V_CloseDevice(handle);

  // What no stream produces: a negative depth, an address above 32 bits.
  FrameRecordHeader frame{};
  frame.depth = 0xFFFFFFFFu;
  frame.imageAddress = reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x89ABCDEF});
  LUMO_U3V_ImageInfo info{};
  FillImageInfo(frame, &info);
  EXPECT_EQ(+info.pixelFormat, LUMO_U3V_PIXEL_MONO8);
  EXPECT_EQ(+info.imageAddress, 0x89ABCDEFu);
#if UINTPTR_MAX > 0xFFFFFFFFu
  frame.imageAddress = reinterpret_cast<std::uint8_t*>(std::uintptr_t{0x123456789A});
  FillImageInfo(frame, &info);
  EXPECT_EQ(+info.fullImageAddress, 0x123456789Au);
  EXPECT_EQ(+info.imageAddress, 0u);
#endif
}

TEST(FlatDevices, BufferCountAndTransferSizeActOnOpenCamerasOnly) {
  void* handle = Open(0);
  // 0 too: the manager's own GetBufferCount answers 0 for unknown handles.
  for (std::int32_t count : {7, 0}) {
    std::int32_t cell = -5;
    EXPECT_EQ(LUMO_U3V_SetBufferCount(handle, count) | LUMO_U3V_GetBufferCount(handle, &cell), 0u);
    EXPECT_EQ(cell, count);
  }
  // Transfer sizes become whole blocks within 4 KiB .. 4 MiB.
  for (auto [asked, used] : {std::pair<std::int32_t, std::int32_t>{65536, 65536},
                             {5000, 8192},
                             {0, 4096},
                             {1 << 30, 4 << 20}}) {
    std::int32_t cell = -5;
    EXPECT_EQ(LUMO_U3V_SetTransferSize(handle, asked) | LUMO_U3V_GetTransferSize(handle, &cell),
              0u);
    EXPECT_EQ(cell, used) << asked;
  }
  // A closed camera and an address that is no camera: nothing changes.
  void* closed = Open(1);
  LUMO_U3V_CloseDevice(closed);
  std::int32_t local = 0;
  for (void* other : {closed, static_cast<void*>(&local)}) {
    std::int32_t cell = -5;
    EXPECT_EQ(LUMO_U3V_SetBufferCount(other, 3) | LUMO_U3V_GetBufferCount(other, &cell), 0u);
    EXPECT_EQ(LUMO_U3V_SetTransferSize(other, 8192) | LUMO_U3V_GetTransferSize(other, &cell), 0u);
    EXPECT_EQ(cell, -5);
  }
  EXPECT_EQ(local, 0);
  // For the other tests when run in one process.
  LUMO_U3V_SetBufferCount(handle, 10);
  LUMO_U3V_SetTransferSize(handle, 4096);
  LUMO_U3V_CloseDevice(handle);
}

// Collects what the flat log sink receives.
struct SinkLines {
  std::vector<std::pair<void*, std::string>> lines;
};
void CollectLine(void* context, void* camera, const char* message) {
  static_cast<SinkLines*>(context)->lines.emplace_back(camera, message);
}

TEST(FlatDiagnosis, LastErrorIsPerThreadAndTheLogSinkNamesTheCamera) {
  int kind = -1;
  unsigned int osError = 1;
  // A thread on which no call failed.
  const auto freshThreadKind = [&] {
    std::thread([&] { EXPECT_EQ(LUMO_U3V_GetLastError(&kind, &osError), LUMO_U3V_OK); }).join();
    return kind;
  };
  EXPECT_EQ(freshThreadKind(), LUMO_ERROR_NONE);
  EXPECT_EQ(LUMO_U3V_GetLastError(nullptr, &osError), LUMO_U3V_ERROR);
  void* handle = Open(0);
  unsigned char bytes[8] = {};

  // Two threads fail differently at once; each reads its own failure.
  int kindA = -1;
  int kindB = -1;
  std::thread a([&] {
    EXPECT_EQ(LUMO_U3V_ControlRead(handle, 0x10, bytes, -1, 100), LUMO_U3V_ERROR);
    unsigned int code = 0;
    LUMO_U3V_GetLastError(&kindA, &code);
  });
  std::thread b([&] {
    EXPECT_EQ(LUMO_U3V_AcquisitionStart(reinterpret_cast<void*>(bytes), nullptr), LUMO_U3V_ERROR);
    unsigned int code = 0;
    LUMO_U3V_GetLastError(&kindB, &code);
  });
  a.join();
  b.join();
  EXPECT_EQ(kindA, LUMO_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(kindB, LUMO_ERROR_NO_CAMERA);
  EXPECT_EQ(freshThreadKind(), LUMO_ERROR_NONE);

  // Calls that report LUMO_U3V_OK regardless still leave their reason.
  LUMO_U3V_DeviceInfo info{};
  EXPECT_EQ(LUMO_U3V_GetDeviceInfo(40, &info), LUMO_U3V_OK);
  LUMO_U3V_GetLastError(&kind, &osError);
  EXPECT_EQ(kind, LUMO_ERROR_NO_CAMERA);

  SinkLines sink;
  const std::vector<unsigned char> payload(450, 0x33);
  ASSERT_EQ(LUMO_U3V_SetLogSink(&CollectLine, &sink), LUMO_U3V_OK);
  EXPECT_EQ(LUMO_U3V_WriteData(handle, 450, payload.data()), LUMO_U3V_OK);
  ASSERT_EQ(LUMO_U3V_SetLogSink(nullptr, nullptr), LUMO_U3V_OK);
  ASSERT_EQ(sink.lines.size(), 1u);  // one line for the call, not one per frame
  EXPECT_EQ(sink.lines[0].first, handle);
  EXPECT_EQ(sink.lines[0].second.rfind("ioSend success send len = ", 0), 0u);
  LUMO_U3V_CloseDevice(handle);
}

}  // namespace
}  // namespace lumo::flat
