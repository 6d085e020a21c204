// Cameras unplugged and plugged in while a manager runs: the pump thread's
// window takes the device-change notices the virtual backend posts, drops or
// detaches cameras that leave, and re-attaches or registers those that
// arrive, with no call by the application.
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "lumo/FrameRecord.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/HotplugWatcher.h"
#include "manager/ManagerState.h"
#include "manager/ManagerTestSupport.h"
#include "support/ConsoleCapture.h"
#include "usb/DevicePath.h"

namespace lumo::manager {
namespace {

using emulator::EmulatedDevice;
using test::NoneValue;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kForever = 0xFFFFFFFFu;

void Delivered() { ASSERT_TRUE(emulator::WaitForNoticesHandled(10000)); }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A device-change record as the system builds it, naming `path`.
std::vector<std::uint8_t> NoticeRecord(const std::string& path) {
  std::vector<std::uint8_t> record(offsetof(platform::DeviceInterfaceNotice, name) + path.size() +
                                   1);
  const auto size = static_cast<std::uint32_t>(record.size());
  std::memcpy(record.data(), &size, sizeof size);
  std::memcpy(record.data() + offsetof(platform::DeviceInterfaceNotice, name), path.data(),
              path.size());
  return record;
}

void UseSmallFrames(EmulatedDevice& camera) {
  emulator::StreamConfig config = camera.Stream().Config();
  config.width = 256;
  config.height = 64;
  config.frameLimit = 0;
  config.bytesPerSecond = 2000000;
  camera.Stream().SetConfig(config);
}

TEST(Hotplug, NoticesThatNameNoCameraOrCarryAnotherEventChangeNothing) {
  auto camera = EmulatedDevice::Camera("HP1");
  ASSERT_TRUE(camera->Plug());
  LumoUsbManager manager;
  ManagerState& state = StateOf(manager);
  ASSERT_EQ(manager.DeviceCount(), 1);
  auto* const object = state.cameraByPath.begin()->second.get();

  // Another device of the same driver comes and goes.
  auto other = EmulatedDevice::OtherDevice("O1");
  ASSERT_TRUE(other->Plug());
  Delivered();
  EXPECT_EQ(manager.DeviceCount(), 1);
  ASSERT_TRUE(other->Unplug());
  Delivered();
  EXPECT_EQ(manager.DeviceCount(), 1);

  // Notices handed to the window procedure directly, on a window of this
  // thread that carries the manager's state.
  ASSERT_TRUE(platform::RegisterWindowClass("hotplugTestClass", &HotplugWindowProc, 0));
  platform::Window window = platform::CreateMessageWindow("hotplugTestClass");
  ASSERT_NE(window, nullptr);
  platform::SetWindowUserData(window, reinterpret_cast<std::intptr_t>(&state));
  auto cameraRecord = NoticeRecord(camera->Path());
  const auto lParam = [](std::vector<std::uint8_t>& record) {
    return reinterpret_cast<std::intptr_t>(record.data());
  };
  HotplugWindowProc(window, platform::kWmDeviceChange, platform::kDbtDeviceQueryRemove,
                    lParam(cameraRecord));
  HotplugWindowProc(window, 0x0400, platform::kDbtDeviceRemoveComplete, lParam(cameraRecord));
  auto unknown = NoticeRecord("\\\\?\\usb#vid_04b4&pid_00f1#unknown#{guid}");
  HotplugWindowProc(window, platform::kWmDeviceChange, platform::kDbtDeviceRemoveComplete,
                    lParam(unknown));
  auto shortPrefix = NoticeRecord("\\\\?\\usb#vid_04b4&pid_00f");
  HotplugWindowProc(window, platform::kWmDeviceChange, platform::kDbtDeviceArrival,
                    lParam(shortPrefix));
  EXPECT_EQ(manager.DeviceCount(), 1);
  ASSERT_EQ(state.cameraByPath.size(), 1u);
  EXPECT_EQ(state.cameraByPath.begin()->second.get(), object);
}

TEST(Hotplug, UnopenedCamerasAreDroppedAndArrivalsRegisteredUnderTheirCurrentIndex) {
  auto a = EmulatedDevice::Camera("HPA");
  auto b = EmulatedDevice::Camera("HPB");
  auto c = EmulatedDevice::Camera("HPC");
  ASSERT_TRUE(a->Plug());
  ASSERT_TRUE(b->Plug());
  LumoUsbManager manager;
  ASSERT_EQ(manager.DeviceCount(), 2);
  void* const idB = manager.GetDeviceIDForIndex(1);
  ASSERT_NE(idB, NoneValue());

  // The emulator's paths are upper case; the notices still match. Indexes
  // are positions in the driver's list: B moves up to 0.
  ASSERT_TRUE(a->Unplug());
  Delivered();
  EXPECT_EQ(manager.DeviceCount(), 1);
  EXPECT_EQ(manager.GetDeviceIDForIndex(0), idB);
  EXPECT_EQ(manager.GetDeviceIDForIndex(1), NoneValue());
  EXPECT_EQ(StateOf(manager).cameraByPath.count(usb::LowerCase(a->Path())), 0u);

  // C arrives behind B, at 1.
  ASSERT_TRUE(c->Plug());
  Delivered();
  void* const idC = manager.GetDeviceIDForIndex(1);
  ASSERT_NE(idC, NoneValue());
  EXPECT_EQ(std::string(static_cast<const char*>(idC)), usb::LowerCase(c->Path()));
  EXPECT_EQ(StateOf(manager).cameraByPath.size(), 2u);
  void* const handleB = manager.OpenDevice(idB);
  EXPECT_NE(handleB, NoneValue());
  void* const handleC = manager.OpenDevice(idC);
  EXPECT_NE(handleC, NoneValue());
  EXPECT_NE(handleB, handleC);

  // A comes back as a new, unopened camera under its present index.
  ASSERT_TRUE(a->Plug());
  Delivered();
  void* const idA = manager.GetDeviceIDForIndex(2);
  ASSERT_NE(idA, NoneValue());
  EXPECT_EQ(std::string(static_cast<const char*>(idA)), usb::LowerCase(a->Path()));
  EXPECT_FALSE(StateOf(manager).cameraByPath.at(usb::LowerCase(a->Path()))->IsOpen());

  // Unopened cameras come and go many times; each dropped object releases
  // all it holds (leak checkers see what stays behind).
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(a->Unplug());
    Delivered();
    ASSERT_TRUE(a->Plug());
    Delivered();
  }
  EXPECT_EQ(StateOf(manager).cameraByPath.size(), 3u);
  EXPECT_TRUE(manager.CloseDevice(handleB));
  EXPECT_TRUE(manager.CloseDevice(handleC));
}

// A caller waiting without end for frames of one camera does not hold off
// the removal of another, nor the calls that queue behind that removal.
TEST(Hotplug, AnEndlessFrameWaitOnOneCameraDoesNotHoldOffAnotherCamerasRemoval) {
  auto a = EmulatedDevice::Camera("HPWA");
  auto b = EmulatedDevice::Camera("HPWB");
  ASSERT_TRUE(a->Plug());
  ASSERT_TRUE(b->Plug());
  LumoUsbManager manager;
  void* const handleA = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
  void* const handleB = manager.OpenDevice(manager.GetDeviceIDForIndex(1));
  ASSERT_NE(handleA, NoneValue());
  ASSERT_NE(handleB, NoneValue());
  auto waiter = std::async(std::launch::async, [&] {
    void* image = nullptr;
    return manager.CameraGetImage(handleB, &image, kForever);  // B sends nothing
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  ASSERT_TRUE(a->Unplug());
  Delivered();
  // A is open, so it stays registered, but only B is plugged in.
  EXPECT_EQ(manager.DeviceCount(), 1);
  ASSERT_TRUE(a->Plug());
  Delivered();
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  // B leaving ends its own waiter.
  ASSERT_TRUE(b->Unplug());
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  EXPECT_TRUE(manager.CloseDevice(handleA));
  EXPECT_TRUE(manager.CloseDevice(handleB));
}

class HotplugOpenCamera : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(camera->Plug());
    manager = std::make_unique<LumoUsbManager>();
    id = manager->GetDeviceIDForIndex(0);
    handle = manager->OpenDevice(id);
    ASSERT_NE(handle, NoneValue());
    UseSmallFrames(*camera);
  }
  void TearDown() override {
    if (manager) manager->CloseDevice(handle);
  }

  bool RegisterRoundTrip(std::uint8_t value) {
    Bytes written(4, value);
    Bytes read(4, 0);
    return manager->SetupCommand(handle, 0x200, written.data(), 4, 2000) &&
           manager->ReadCommand(handle, 0x200, read.data(), 4, 2000) && read == Bytes(4, value);
  }

  test::ConsoleCapture console;
  std::unique_ptr<EmulatedDevice> camera = EmulatedDevice::Camera("HPOPEN");
  std::unique_ptr<LumoUsbManager> manager;
  void* id = nullptr;
  void* handle = nullptr;
};

TEST_F(HotplugOpenCamera, AcquiringCameraKeepsItsHandleWhileAwayAndResumesOnReturn) {
  ASSERT_TRUE(manager->StartAcq(handle));
  void* image = nullptr;
  ASSERT_TRUE(manager->CameraGetImage(handle, &image, 3000));
  const auto* held = static_cast<const FrameRecordHeader*>(image);
  const FrameRecordHeader copy = *held;

  ASSERT_TRUE(camera->Unplug());
  Delivered();
  console.Clear();
  // A frame held when the cable is pulled stays in place (address checkers
  // would flag a released buffer).
  EXPECT_EQ(std::memcmp(held, &copy, sizeof copy), 0);
  // Away, it is not listed (nothing is plugged in), but its ID and handle
  // still name it.
  EXPECT_EQ(manager->DeviceCount(), 0);
  EXPECT_EQ(manager->GetDeviceIDForIndex(0), NoneValue());
  EXPECT_EQ(manager->OpenDevice(id), handle);
  // Every call on the detached camera fails at once, whatever its limit.
  const auto start = Clock::now();
  Bytes bytes(4, 1);
  int count = 4;
  EXPECT_FALSE(manager->SetupCommand(handle, 0x200, bytes.data(), 4, 5000));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x200, bytes.data(), 4, 5000));
  EXPECT_FALSE(manager->CameraSendBuffer(handle, bytes.data(), 4, 5000));
  EXPECT_FALSE(manager->CameraReadBuffer(handle, bytes.data(), &count, 5000));
  EXPECT_FALSE(manager->CameraGetImage(handle, &image, 5000));
  EXPECT_LT(SecondsSince(start), 1.0);
  // Nothing polls a camera that is away, so nothing floods the console.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(console.Captured().size(), 2u);

  const auto startsBefore = camera->Stream().Counters().startRequests;
  ASSERT_TRUE(camera->Plug());
  Delivered();
  EXPECT_GT(camera->Stream().Counters().startRequests, startsBefore);
  EXPECT_EQ(manager->GetDeviceIDForIndex(0), id);
  EXPECT_TRUE(manager->CameraGetImage(handle, &image, 5000)) << "frames did not resume";
  EXPECT_TRUE(RegisterRoundTrip(0x5C));
  EXPECT_EQ(manager->OpenDevice(id), handle);

  // Open but not acquiring: only the command channel comes back.
  ASSERT_TRUE(manager->StopAcq(handle));
  ASSERT_TRUE(camera->Unplug());
  Delivered();
  ASSERT_TRUE(camera->Plug());
  Delivered();
  EXPECT_TRUE(RegisterRoundTrip(0x6D));
  EXPECT_FALSE(manager->CameraGetImage(handle, &image, 300));

  // Closed while away: it stays registered, and opens again once back.
  ASSERT_TRUE(camera->Unplug());
  Delivered();
  EXPECT_TRUE(manager->CloseDevice(handle));
  EXPECT_EQ(manager->DeviceCount(), 0);
  EXPECT_EQ(manager->OpenDevice(id), NoneValue());  // not plugged in
  ASSERT_TRUE(camera->Plug());
  Delivered();
  EXPECT_EQ(manager->DeviceCount(), 1);
  EXPECT_EQ(manager->OpenDevice(id), handle);
  EXPECT_TRUE(RegisterRoundTrip(0x7E));
  EXPECT_TRUE(manager->CloseDevice(handle));
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

TEST_F(HotplugOpenCamera, RemovalEndsEndlessWaitsAndLaterAnswersAreTheirOwn) {
  // Not acquiring, so a frame wait has nothing to end it but the removal;
  // the camera drops the next register answer, so the read waits too.
  camera->Firmware().InjectFault(emulator::Fault::Next(emulator::FaultKind::kDropAnswer));
  auto frameWait = std::async(std::launch::async, [&] {
    void* image = nullptr;
    return manager->CameraGetImage(handle, &image, kForever);
  });
  auto readWait = std::async(std::launch::async, [&] {
    Bytes read(4, 0);
    return manager->ReadCommand(handle, 0x200, read.data(), 4, 60000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto start = Clock::now();
  ASSERT_TRUE(camera->Unplug());
  Delivered();
  ASSERT_EQ(frameWait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  ASSERT_EQ(readWait.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_FALSE(frameWait.get());
  EXPECT_FALSE(readWait.get());
  // Other callers were not held up behind the waits.
  EXPECT_EQ(manager->DeviceCount(), 0);

  ASSERT_TRUE(camera->Plug());
  Delivered();
  EXPECT_TRUE(RegisterRoundTrip(0x11));
  EXPECT_TRUE(RegisterRoundTrip(0x22));
}

}  // namespace
}  // namespace lumo::manager
