// Frames lent to the caller (lumo/Frame.h) end to end: LumoUsbManager, the
// stream threads and the emulated camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lumo/Frame.h"
#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "support/OpenCameraFixture.h"

namespace lumo::camera {
namespace {

using emulator::CameraStream;
using emulator::StreamConfig;
using Clock = std::chrono::steady_clock;

class FrameLeases : public test::OpenCameraFixture {
 protected:
  FrameLeases() : OpenCameraFixture("LEASE1") {}

  CameraStream& stream() { return camera->Stream(); }

  void Configure(std::uint16_t width, std::uint16_t height, std::uint64_t bytesPerSecond,
                 std::uint64_t frameLimit = 0) {
    StreamConfig config = stream().Config();
    config.width = width;
    config.height = height;
    config.pixelSize = 2;
    config.bytesPerSecond = bytesPerSecond;
    config.frameLimit = frameLimit;
    stream().SetConfig(config);
  }

  bool Take(LumoFrame* frame, unsigned timeoutMs = 5000) {
    return manager->CameraTakeFrame(handle, frame, timeoutMs);
  }
  LumoLastError Reason() { return manager->GetLastError(handle); }
};

// The first byte of `frame` that differs from the camera's pattern, or -1.
long long FirstWrongByte(const LumoFrame& frame) {
  const auto* image = static_cast<const std::uint8_t*>(frame.image);
  for (std::uint64_t i = 0; i < frame.imageBytes; ++i)
    if (image[i] != emulator::RawImageByte(frame.cameraFrameNumber, static_cast<std::uint32_t>(i)))
      return static_cast<long long>(i);
  return -1;
}

std::uint64_t Lost(const LumoCameraStatistics& s) {
  return s.framesLostNoBuffer + s.framesLostQueueFull + s.framesIncomplete;
}

// A caller holds all the frames it may while the camera streams as fast as
// it can; every held frame keeps its bytes. The held frame of
// CameraGetImage counts as a lease, and a take beyond the limit fails at
// once with its own reason.
TEST_F(FrameLeases, HeldFramesKeepTheirBytesWhileTheStreamRunsUnthrottled) {
  Configure(1024, 768, 0);
  manager->SetBufferCount(handle, 10);
  ASSERT_TRUE(manager->StartAcq(handle));
  std::vector<LumoFrame> held(8);
  for (LumoFrame& frame : held) ASSERT_TRUE(Take(&frame));
  void* image = nullptr;
  ASSERT_TRUE(manager->CameraGetImage(handle, &image, 5000));  // the ninth
  EXPECT_EQ(manager->CameraHeldFrames(handle), 9);
  LumoFrame extra{};
  const auto before = Clock::now();
  EXPECT_FALSE(Take(&extra));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_ALL_LENT);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));  // at once, not after 5 s
  // CameraGetImage gives its own frame back first, so it still gets one.
  ASSERT_TRUE(manager->CameraGetImage(handle, &image, 5000));

  // The stream goes on through the one buffer left.
  const std::uint64_t sent = stream().Counters().framesFinished;
  ASSERT_TRUE(stream().WaitForFrames(sent + 30, std::chrono::seconds(20)));
  for (std::size_t i = 0; i < held.size(); ++i) {
    const LumoFrame& frame = held[i];
    EXPECT_EQ(frame.width, 1024u);
    EXPECT_EQ(frame.height, 768u);
    EXPECT_EQ(frame.bitsPerPixel, 16u);
    EXPECT_EQ(frame.pixelFormat, LUMO_PIXEL_MONO16);
    EXPECT_EQ(frame.mode, static_cast<std::uint32_t>(LUMO_FRAME_RAW));
    EXPECT_EQ(frame.imageBytes, 1024u * 768 * 2);
    EXPECT_EQ(static_cast<const std::uint8_t*>(frame.image),
              static_cast<const std::uint8_t*>(frame.record) + kRawImageOffset);
    if (i > 0) {
      EXPECT_EQ(frame.sequence, held[i - 1].sequence + 1 + frame.lostBefore);
    }
    EXPECT_EQ(FirstWrongByte(frame), -1) << "frame " << frame.cameraFrameNumber;
    ASSERT_TRUE(manager->CameraReleaseFrame(handle, frame.record));
  }
  EXPECT_EQ(manager->CameraHeldFrames(handle), 1);  // the one CameraGetImage holds
  EXPECT_TRUE(Take(&extra));
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, extra.record));
}

// Leases outlive the run, the camera's opening and its presence: the bytes
// stay, and each is given back once, also after the camera was dropped.
TEST_F(FrameLeases, LeasesSurviveStopCloseAndUnplug) {
  Configure(640, 480, 0, 6);
  manager->SetBufferCount(handle, 6);
  ASSERT_TRUE(manager->StartAcq(handle));
  std::vector<LumoFrame> held(5);
  for (LumoFrame& frame : held) ASSERT_TRUE(Take(&frame));

  ASSERT_TRUE(manager->StopAcq(handle));
  EXPECT_EQ(FirstWrongByte(held[0]), -1);
  ASSERT_TRUE(manager->CameraReleaseFrame(handle, held[0].record));

  // A new run has a new pool; the old run's leases still count and stay.
  stream().SetConfig([&] {
    StreamConfig config = stream().Config();
    config.frameLimit = 0;
    return config;
  }());
  ASSERT_TRUE(manager->StartAcq(handle));
  LumoFrame fresh{};
  ASSERT_TRUE(Take(&fresh));
  EXPECT_EQ(fresh.sequence, 0u);  // a new run counts from 0
  EXPECT_EQ(FirstWrongByte(held[1]), -1);
  ASSERT_TRUE(manager->StopAcq(handle));

  ASSERT_TRUE(manager->CloseDevice(handle));
  EXPECT_EQ(FirstWrongByte(held[1]), -1);
  EXPECT_EQ(FirstWrongByte(fresh), -1);
  ASSERT_TRUE(manager->CameraReleaseFrame(handle, held[1].record));
  ASSERT_TRUE(manager->CameraReleaseFrame(handle, fresh.record));

  // Closed and unplugged, the camera is dropped from the registry.
  ASSERT_TRUE(camera->Unplug());
  ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
  EXPECT_EQ(manager->CameraHeldFrames(handle), -1);
  for (std::size_t i = 2; i < held.size(); ++i) {
    EXPECT_EQ(FirstWrongByte(held[i]), -1);
    EXPECT_TRUE(manager->CameraReleaseFrame(handle, held[i].record));
    EXPECT_FALSE(manager->CameraReleaseFrame(handle, held[i].record));
  }
}

TEST_F(FrameLeases, LeasesOfAnOpenCameraStayThroughItsUnplugAndReplug) {
  Configure(640, 480, 200000000);
  manager->SetBufferCount(handle, 4);
  ASSERT_TRUE(manager->StartAcq(handle));
  LumoFrame kept{};
  ASSERT_TRUE(Take(&kept));
  ASSERT_TRUE(camera->Unplug());
  ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
  EXPECT_EQ(FirstWrongByte(kept), -1);
  LumoFrame none{};
  EXPECT_FALSE(Take(&none, 100));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_REMOVED);
  ASSERT_TRUE(camera->Plug());
  ASSERT_TRUE(emulator::WaitForNoticesHandled(10000));
  // The resumed run goes on counting and streams on the other buffers.
  LumoFrame next{};
  ASSERT_TRUE(Take(&next));
  EXPECT_GT(next.sequence, kept.sequence);
  EXPECT_EQ(FirstWrongByte(kept), -1);
  EXPECT_EQ(FirstWrongByte(next), -1);
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, kept.record));
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, next.record));
  EXPECT_EQ(manager->CameraHeldFrames(handle), 0);
}

// A release of anything that is not this camera's lent frame is refused
// and changes nothing.
TEST_F(FrameLeases, ReleaseRefusesWhatIsNotLent) {
  Configure(256, 256, 0, 3);
  ASSERT_TRUE(manager->StartAcq(handle));
  LumoFrame frame{};
  ASSERT_TRUE(Take(&frame));
  void* image = nullptr;
  ASSERT_TRUE(manager->CameraGetImage(handle, &image, 5000));
  std::uint8_t garbage[64] = {};
  int other = 0;

  EXPECT_FALSE(manager->CameraReleaseFrame(handle, image));  // held, not lent
  EXPECT_EQ(Reason().kind, LUMO_ERROR_NOT_LENT);
  EXPECT_FALSE(manager->CameraReleaseFrame(handle, garbage));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_NOT_LENT);
  EXPECT_FALSE(manager->CameraReleaseFrame(handle, static_cast<std::uint8_t*>(frame.record) + 1));
  EXPECT_FALSE(manager->CameraReleaseFrame(&other, frame.record));  // not this camera's handle
  EXPECT_FALSE(manager->CameraReleaseFrame(handle, nullptr));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(manager->CameraHeldFrames(handle), 2);
  EXPECT_EQ(FirstWrongByte(frame), -1);

  EXPECT_TRUE(manager->CameraReleaseFrame(handle, frame.record));
  EXPECT_FALSE(manager->CameraReleaseFrame(handle, frame.record));  // twice
  EXPECT_EQ(Reason().kind, LUMO_ERROR_NOT_LENT);
  EXPECT_EQ(manager->CameraHeldFrames(handle), 1);
}

// Frames the library loses show as gaps in the sequence: every frame it saw
// begin is either handed out or counted lost, and lostBefore says how many
// were lost before each frame handed out.
TEST_F(FrameLeases, SequenceGapsEqualTheFramesCountedLost) {
  Configure(512, 512, 0, 120);
  manager->SetBufferCount(handle, 3);
  LumoCameraStatistics start{};
  ASSERT_TRUE(manager->GetStatistics(handle, &start));
  ASSERT_TRUE(manager->StartAcq(handle));
  std::vector<LumoFrame> taken;
  LumoFrame frame{};
  while (Take(&frame, 1000)) {
    taken.push_back(frame);
    // A slow caller: the camera sends a few frames while it holds each, more
    // than the other two buffers take.
    const std::uint64_t sent = stream().Counters().framesFinished;
    stream().WaitForFrames(std::min<std::uint64_t>(sent + 4, 120), std::chrono::seconds(5));
    ASSERT_TRUE(manager->CameraReleaseFrame(handle, frame.record));
  }
  ASSERT_TRUE(manager->StopAcq(handle));
  LumoCameraStatistics end{};
  ASSERT_TRUE(manager->GetStatistics(handle, &end));
  ASSERT_FALSE(taken.empty());

  std::uint64_t lostBefore = 0;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    lostBefore += taken[i].lostBefore;
    if (i > 0) {
      EXPECT_EQ(taken[i].sequence, taken[i - 1].sequence + 1 + taken[i].lostBefore);
    }
  }
  EXPECT_EQ(taken.front().lostBefore, taken.front().sequence);
  EXPECT_EQ(taken.back().sequence + 1, taken.size() + lostBefore);
  EXPECT_GT(lostBefore, 0u) << "the caller was not slow enough to lose frames";
  // The camera sent 120 frames, every header arrived: those after the last
  // frame handed out were lost too.
  const std::uint64_t lostAfter = 120 - (taken.back().sequence + 1);
  EXPECT_EQ(lostBefore + lostAfter, Lost(end) - Lost(start));
}

// Each frame is stamped when its header block arrived, never before the
// camera sent it and well within a frame's time after, and completed after.
TEST_F(FrameLeases, TimestampsFollowWhenTheCameraSentEachHeader) {
  Configure(640, 480, 100000000);  // about 160 frames per second
  ASSERT_TRUE(manager->StartAcq(handle));
  std::vector<std::int64_t> errors;
  std::int64_t previous = 0;
  for (int i = 0; i < 40; ++i) {
    LumoFrame frame{};
    ASSERT_TRUE(Take(&frame));
    const std::optional<std::int64_t> sent = stream().HeaderSentNs(frame.cameraFrameNumber);
    ASSERT_TRUE(sent.has_value());
    EXPECT_GE(frame.timestampNs, *sent)
        << "frame " << frame.cameraFrameNumber << " seq " << frame.sequence << " i " << i;
    EXPECT_GE(frame.completedNs, frame.timestampNs);
    EXPECT_LE(frame.completedNs, LumoSteadyClockNs());
    EXPECT_GT(frame.timestampNs, previous);
    previous = frame.timestampNs;
    errors.push_back(frame.timestampNs - *sent);
    ASSERT_TRUE(manager->CameraReleaseFrame(handle, frame.record));
  }
  std::sort(errors.begin(), errors.end());
  const std::int64_t median = errors[errors.size() / 2];
  std::printf("header time error: median %.1f us, worst %.1f us\n", median / 1e3,
              errors.back() / 1e3);
  EXPECT_LT(median, 50'000'000);  // a generous bound: sanitizer builds under load
}

// A 20-megapixel Mono16 frame (40 MB) arrives whole, in records made for it
// ahead (SetFrameBytes) or grown as the stream needs them.
TEST_F(FrameLeases, TwentyMegapixelMono16FramesArriveIntact) {
  constexpr std::uint16_t kWidth = 5472, kHeight = 3648;
  constexpr std::uint64_t kBytes = std::uint64_t{kWidth} * kHeight * 2;
  for (const bool sizedAhead : {true, false}) {
    SCOPED_TRACE(sizedAhead ? "sized ahead" : "grown");
    console.Clear();
    // Grown records may cost the frame that made each of the three grow
    // (the stream runs on while a 40 MB record is made): the camera sends
    // enough frames for two to come after.
    Configure(kWidth, kHeight, 400000000, sizedAhead ? 3 : 8);  // the camera's own rate
    manager->SetBufferCount(handle, 3);
    manager->SetFrameBytes(handle, sizedAhead ? static_cast<long long>(kBytes) : 0);
    ASSERT_TRUE(manager->StartAcq(handle));
    std::vector<LumoFrame> frames;
    LumoFrame frame{};
    while (frames.size() < 2 && Take(&frame, 10000)) frames.push_back(frame);
    ASSERT_EQ(frames.size(), 2u);
    for (const LumoFrame& f : frames) {
      EXPECT_EQ(f.imageBytes, kBytes);
      EXPECT_EQ(f.width, kWidth);
      EXPECT_EQ(f.height, kHeight);
      EXPECT_EQ(f.pixelFormat, LUMO_PIXEL_MONO16);
      EXPECT_EQ(FirstWrongByte(f), -1);
      EXPECT_TRUE(manager->CameraReleaseFrame(handle, f.record));
    }
    ASSERT_TRUE(manager->StopAcq(handle));
    const auto lines = console.Captured();
    const auto grown = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("frame buffers grow") != std::string::npos;
    });
    EXPECT_EQ(grown, sizedAhead ? 0 : 1);
  }
}

// The callback gets every frame in order on the camera's delivery thread;
// what it keeps stays lent. While it is set the pull calls are refused.
// Once switched off (also from within the callback) it is never called
// again.
TEST_F(FrameLeases, TheCallbackDeliversInOrderAndSwitchesOffCleanly) {
  Configure(256, 256, 50000000);
  manager->SetBufferCount(handle, 6);
  struct Seen {
    std::mutex lock;
    std::vector<LumoFrame> frames;
    std::vector<void*> kept;
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
    std::thread::id thread;
    bool wrongBytes = false;
  } seen;
  const auto callback = [](void* context, void*, const LumoFrame* frame) -> int {
    auto& s = *static_cast<Seen*>(context);
    s.inside.fetch_add(1);
    const int call = s.calls.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard<std::mutex> guard(s.lock);
    if (call == 0) s.thread = std::this_thread::get_id();
    if (s.thread != std::this_thread::get_id() || FirstWrongByte(*frame) != -1) s.wrongBytes = true;
    s.frames.push_back(*frame);
    const bool keep = call % 4 == 0 && s.kept.size() < 3;
    if (keep) s.kept.push_back(frame->record);
    s.inside.fetch_sub(1);
    return keep ? 1 : 0;
  };
  ASSERT_TRUE(manager->SetFrameCallback(handle, callback, &seen));
  ASSERT_TRUE(manager->StartAcq(handle));
  LumoFrame pulled{};
  EXPECT_FALSE(Take(&pulled, 100));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_CALLBACK_SET);
  void* image = nullptr;
  EXPECT_FALSE(manager->CameraGetImage(handle, &image, 100));
  EXPECT_EQ(Reason().kind, LUMO_ERROR_CALLBACK_SET);
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (seen.calls.load() < 40 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  ASSERT_TRUE(manager->SetFrameCallback(handle, nullptr, nullptr));
  EXPECT_EQ(seen.inside.load(), 0);
  const int calls = seen.calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(seen.calls.load(), calls);
  ASSERT_GE(calls, 40);
  {
    std::lock_guard<std::mutex> guard(seen.lock);
    EXPECT_FALSE(seen.wrongBytes);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    for (std::size_t i = 1; i < seen.frames.size(); ++i)
      EXPECT_EQ(seen.frames[i].sequence,
                seen.frames[i - 1].sequence + 1 + seen.frames[i].lostBefore);
    EXPECT_EQ(manager->CameraHeldFrames(handle), static_cast<int>(seen.kept.size()));
    for (void* record : seen.kept) EXPECT_TRUE(manager->CameraReleaseFrame(handle, record));
  }
  // Pulling works again.
  ASSERT_TRUE(Take(&pulled));
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, pulled.record));

  // Switched off from within the callback: no deadlock, no further call.
  struct SelfStop {
    LumoUsbManager* manager;
    void* handle;
    std::atomic<int> calls{0};
  } self{manager.get(), handle};
  ASSERT_TRUE(manager->SetFrameCallback(
      handle,
      [](void* context, void* h, const LumoFrame*) -> int {
        auto& s = *static_cast<SelfStop*>(context);
        s.calls.fetch_add(1);
        s.manager->SetFrameCallback(h, nullptr, nullptr);
        return 0;
      },
      &self));
  const auto stopDeadline = Clock::now() + std::chrono::seconds(10);
  while (self.calls.load() == 0 && Clock::now() < stopDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(self.calls.load(), 1);
  ASSERT_TRUE(Take(&pulled));
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, pulled.record));

  // Closing the camera removes its callback.
  ASSERT_TRUE(manager->SetFrameCallback(handle, callback, &seen));
  ASSERT_TRUE(manager->CloseDevice(handle));
  const int callsAtClose = seen.calls.load();
  ASSERT_EQ(manager->OpenDevice(manager->GetDeviceIDForIndex(0)), handle);
  ASSERT_TRUE(manager->StartAcq(handle));
  ASSERT_TRUE(Take(&pulled));
  EXPECT_TRUE(manager->CameraReleaseFrame(handle, pulled.record));
  EXPECT_EQ(seen.calls.load(), callsAtClose);
}

}  // namespace
}  // namespace lumo::camera
