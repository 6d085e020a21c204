// Why calls fail: every kind of failure produced on an emulated camera and
// read back per camera (LumoUsbManager::GetLastError) and per thread; and
// the console lines of the command channel, collapsed and naming their
// camera.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Failure.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "platform/virtual/VirtualBus.h"
#include "support/OpenCameraFixture.h"

namespace lumo::command {
namespace {

using emulator::Fault;
using emulator::FaultKind;
using emulator::FaultTarget;
using Bytes = std::vector<std::uint8_t>;

class Diagnosis : public test::OpenCameraFixture {
 protected:
  Diagnosis() : OpenCameraFixture("DIAG1") {}

  std::int32_t CameraKind() { return manager->GetLastError(handle).kind; }
  // The camera's last error, also as seen from another thread, and the
  // calling thread's last failure; all three must agree.
  void ExpectKind(std::int32_t kind) {
    EXPECT_EQ(CameraKind(), kind) << LumoErrorText(CameraKind());
    std::int32_t seen = -1;
    std::thread([&] { seen = manager->GetLastError(handle).kind; }).join();
    EXPECT_EQ(seen, kind);
    EXPECT_EQ(ThreadFailure().kind, kind);
  }
  // The captured lines that concern this test's camera.
  std::vector<std::string> CameraLines() {
    const auto lines = console.Captured();
    const auto cameras = console.Cameras();
    std::vector<std::string> mine;
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (cameras[i] == handle) mine.push_back(lines[i]);
    return mine;
  }
  std::size_t LinesStartingWith(const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& line : CameraLines()) count += line.rfind(prefix, 0) == 0;
    return count;
  }
};

TEST_F(Diagnosis, EachFailureOfACallLeavesItsKind) {
  Bytes data(4, 7);
  EXPECT_EQ(CameraKind(), LUMO_ERROR_NONE);

  EXPECT_FALSE(manager->SetupCommand(handle, 0x100, data.data(), -1, 100));
  ExpectKind(LUMO_ERROR_BAD_ARGUMENT);
  EXPECT_FALSE(manager->SetupCommand(handle, 0x100, data.data(), 251, 100));
  ExpectKind(LUMO_ERROR_BAD_ARGUMENT);

  // A success leaves the last failure as it was.
  ASSERT_TRUE(manager->SetupCommand(handle, 0x100, data.data(), 4, 1000));
  ExpectKind(LUMO_ERROR_BAD_ARGUMENT);

  camera->Firmware().InjectFault(Fault::Next(FaultKind::kDropAnswer));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x100, data.data(), 4, 200));
  ExpectKind(LUMO_ERROR_TIMED_OUT);

  Fault corrupt = Fault::Next(FaultKind::kCorruptCheck);
  corrupt.target = FaultTarget::kRegisterAnswers;
  camera->Firmware().InjectFault(corrupt);
  EXPECT_FALSE(manager->ReadCommand(handle, 0x100, data.data(), 4, 300));
  ExpectKind(LUMO_ERROR_CHECK_BYTE);
  // The next answer is whole again: a later failure is a plain time-out.
  ASSERT_TRUE(manager->ReadCommand(handle, 0x100, data.data(), 4, 1000));
  camera->Firmware().InjectFault(Fault::Next(FaultKind::kWrongAddress));
  EXPECT_FALSE(manager->SetupCommand(handle, 0x104, data.data(), 4, 200));
  ExpectKind(LUMO_ERROR_TIMED_OUT);

  int count = 16;
  EXPECT_FALSE(manager->CameraReadBuffer(handle, data.data(), &count, 50));
  ExpectKind(LUMO_ERROR_TIMED_OUT);
  count = 0;
  EXPECT_FALSE(manager->CameraReadBuffer(handle, data.data(), &count, 50));
  ExpectKind(LUMO_ERROR_BAD_ARGUMENT);

  // Without its firmware the camera stalls every vendor request: requests
  // are refused, whether a register write, a buffer send or the start.
  camera->SetVendorRequestHandler(nullptr);
  EXPECT_FALSE(manager->SetupCommand(handle, 0x100, data.data(), 4, 200));
  ExpectKind(LUMO_ERROR_REFUSED);
  EXPECT_FALSE(manager->CameraSendBuffer(handle, data.data(), 4, 200));
  ExpectKind(LUMO_ERROR_REFUSED);
  EXPECT_FALSE(manager->StartAcq(handle));
  ExpectKind(LUMO_ERROR_REFUSED);
  camera->UseCameraFirmware();

  manager->SetBufferCount(handle, 0);
  EXPECT_FALSE(manager->StartAcq(handle));
  ExpectKind(LUMO_ERROR_BAD_ARGUMENT);
  manager->SetBufferCount(handle, 4);
  EXPECT_FALSE(manager->CameraGetImage(handle, nullptr, 10));
  EXPECT_EQ(ThreadFailure().kind, LUMO_ERROR_BAD_ARGUMENT);
  void* image = nullptr;
  EXPECT_FALSE(manager->CameraGetImage(handle, &image, 60));  // not acquiring
  ExpectKind(LUMO_ERROR_TIMED_OUT);

  // Calls that find no camera leave their reason with the thread.
  EXPECT_FALSE(manager->StartAcq(test::NoHandle()));
  EXPECT_EQ(ThreadFailure().kind, LUMO_ERROR_NO_CAMERA);
  EXPECT_EQ(manager->GetLastError(test::NoHandle()).kind, LUMO_ERROR_NO_CAMERA);
  EXPECT_EQ(manager->GetLastError(nullptr).kind, LUMO_ERROR_NO_CAMERA);
  EXPECT_EQ(manager->GetDeviceIDForIndex(7), test::NoHandle());
  EXPECT_EQ(ThreadFailure().kind, LUMO_ERROR_NO_CAMERA);
  EXPECT_EQ(manager->OpenDevice(nullptr), test::NoHandle());
  EXPECT_EQ(ThreadFailure().kind, LUMO_ERROR_BAD_ARGUMENT);

  ASSERT_TRUE(manager->CloseDevice(handle));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x100, data.data(), 4, 100));
  ExpectKind(LUMO_ERROR_NOT_OPEN);
  EXPECT_EQ(manager->GetBufferCount(handle), 0);
  ExpectKind(LUMO_ERROR_NOT_OPEN);

  // Unplugged while open: its calls fail for the removal, and so does
  // opening it again while it is away.
  ASSERT_EQ(manager->OpenDevice(manager->GetDeviceIDForIndex(0)), handle);
  ASSERT_TRUE(camera->Unplug());
  ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
  EXPECT_FALSE(manager->ReadCommand(handle, 0x100, data.data(), 4, 100));
  ExpectKind(LUMO_ERROR_REMOVED);
  EXPECT_FALSE(manager->CameraGetImage(handle, &image, 1000));
  ExpectKind(LUMO_ERROR_REMOVED);
  EXPECT_FALSE(manager->StartAcq(handle));
  ExpectKind(LUMO_ERROR_REMOVED);
  EXPECT_STREQ(LumoErrorText(LUMO_ERROR_REMOVED), "camera removed");
  EXPECT_STREQ(LumoErrorText(99), "unknown error");
}

TEST_F(Diagnosis, ALargeSendLogsOneLineAndRepeatedFailuresAreCounted) {
  Bytes payload(200 * 500 + 17, 0x41);
  ASSERT_TRUE(
      manager->CameraSendBuffer(handle, payload.data(), static_cast<int>(payload.size()), 1000));
  const auto lines = CameraLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ioSend success send len = ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 3), "!\r\n");

  // Every chunk of a send to a camera that stalls them fails: the first
  // failure is logged, the other 500 in one line with their count.
  console.Clear();
  camera->SetVendorRequestHandler(nullptr);
  EXPECT_FALSE(
      manager->CameraSendBuffer(handle, payload.data(), static_cast<int>(payload.size()), 1000));
  EXPECT_EQ(LinesStartingWith("ioSend wait xfer error,lasterror:"), 1u);
  EXPECT_EQ(LinesStartingWith("repeated 500 times: ioSend wait xfer error,lasterror:"), 1u);
  // (The response reader's polls fail too, and say so in lines of their own.)
  std::size_t sendLines = 0;
  for (const std::string& line : CameraLines())
    sendLines += line.find("ioSend") != std::string::npos;
  EXPECT_EQ(sendLines, 2u);
  camera->UseCameraFirmware();
}

TEST_F(Diagnosis, AFailingReaderLogsOnceASecondWithACount) {
  // The reader's polls are stalled while the firmware is away: the first
  // failure at once, then one line a second with the repeats since.
  camera->SetVendorRequestHandler(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(2300));
  camera->UseCameraFirmware();
  Bytes data(4);
  ASSERT_TRUE(manager->ReadCommand(handle, 0x100, data.data(), 4, 1000));
  const auto lines = CameraLines();
  std::size_t first = 0;
  std::size_t summaries = 0;
  for (const std::string& line : lines) {
    first += line.rfind("ioRead wait xfer error,lasterror:", 0) == 0;
    summaries += line.rfind("repeated ", 0) == 0 &&
                 line.find(" times: ioRead wait xfer error,lasterror:") != std::string::npos;
  }
  EXPECT_EQ(first, 1u);
  // Two full seconds, and the rest when the failures ended.
  EXPECT_GE(summaries, 2u);
  EXPECT_LE(summaries, 3u);
  EXPECT_EQ(lines.size(), first + summaries);
  // Every line of the reader names its camera.
  EXPECT_EQ(console.Captured().size(), lines.size());
}

}  // namespace
}  // namespace lumo::command
