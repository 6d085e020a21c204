// lumosrc against the C++ API, on an emulated camera plugged in this
// process: 1024 x 768 x 2 frames at 400 MB/s (254 frames a second), the
// emulator's work on its own thread so that it is not counted as ours.
//
// - BM_CppTakeRelease: frames taken and released through LumoUsbManager,
//   16 buffers. CPU of the library's threads and the taking thread.
// - BM_LumosrcFakesink: lumosrc ! fakesink, buffers=16. CPU of the
//   library's threads and the streaming thread; lost, copies.
// - BM_LumosrcQueueSlowSink: lumosrc ! queue max-size-buffers=20 !
//   fakesink whose handoff holds each frame 3 ms and every 100th 60 ms, or
//   each 2 ms and every 100th 150 ms (a sink slower than the camera now
//   and then, faster on average; in 150 ms the camera sends more frames
//   than the queue takes, and the source waits to push while the frames
//   wait in the pool): copies, lost and the most buffers the queue held,
//   for two pool sizes each.
//
// Frames are counted from the first one on, so that start-up is left out;
// "lost" comes from the sequence numbers, so it holds every frame the
// camera finished that did not arrive.
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "LumoSrc.h"
#include "ThreadTimes.h"
#include "lumo/Frame.h"
#include "lumo/Log.h"
#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;
using lumo::emulator::StreamConfig;
using Clock = std::chrono::steady_clock;
using Times = std::map<int, lumo::bench::ThreadTime>;

constexpr const char* kSerial = "GSTBENCH01";
constexpr double kFrameBytes = 1024.0 * 768 * 2;

void Quiet(void*, void*, const char*) {}

int ThisThread() { return static_cast<int>(syscall(SYS_gettid)); }

bool LibraryThread(const std::string& name) { return name.rfind("lumo-", 0) == 0; }

// CPU seconds used between two snapshots by the threads `counted` picks.
template <typename Pick>
double CpuOf(const Times& before, const Times& after, Pick counted) {
  double used = 0;
  for (const auto& [id, entry] : after)
    if (counted(id, entry.name)) used += lumo::bench::Used(before, id, entry);
  return used;
}

// The emulated camera, plugged in once for the whole program: the element's
// manager lives as long as the process and keeps the camera listed.
EmulatedDevice& BenchCamera() {
  static std::unique_ptr<EmulatedDevice> camera = [] {
    LumoSetLogSink(&Quiet, nullptr);
    auto device = EmulatedDevice::Camera(kSerial);
    StreamConfig config = device->Stream().Config();
    config.width = 1024;
    config.height = 768;
    config.pixelSize = 2;
    config.bytesPerSecond = 400000000;
    config.serveOnSubmittingThread = false;
    device->Stream().SetConfig(config);
    device->Plug();
    return device;
  }();
  return *camera;
}

void BM_CppTakeRelease(benchmark::State& state) {
  const auto frames = static_cast<std::uint64_t>(state.range(0));
  BenchCamera();
  for (auto _ : state) {
    LumoUsbManager manager;
    void* handle = manager.OpenDevice(manager.GetDeviceIDForIndex(0));
    manager.SetBufferCount(handle, 16);
    manager.StartAcq(handle);
    LumoFrame frame{};
    if (!manager.CameraTakeFrame(handle, &frame, 5000)) {
      state.SkipWithError("no frame");
      break;
    }
    const std::uint64_t first = frame.sequence;
    manager.CameraReleaseFrame(handle, frame.record);
    const int taker = ThisThread();
    const Times before = lumo::bench::ThreadTimes();
    const auto start = Clock::now();
    std::uint64_t taken = 0, last = first;
    while (taken < frames && manager.CameraTakeFrame(handle, &frame, 3000)) {
      ++taken;
      last = frame.sequence;
      manager.CameraReleaseFrame(handle, frame.record);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Times after = lumo::bench::ThreadTimes();
    manager.StopAcq(handle);
    manager.CloseDevice(handle);
    state.counters["frames"] = double(taken);
    state.counters["lost"] = double(last - first - taken);
    state.counters["MB_per_s"] = double(taken) * kFrameBytes / 1e6 / seconds;
    state.counters["cpu_core"] =
        CpuOf(before, after,
              [&](int id, const std::string& name) { return LibraryThread(name) || id == taker; }) /
        seconds;
  }
}
BENCHMARK(BM_CppTakeRelease)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

// What the sink's handoff sees, shared with the benchmark's thread.
struct SinkTally {
  std::uint64_t wanted = 0;
  unsigned holdMs = 0;   // every frame is held this long
  unsigned stallMs = 0;  // and every 100th this long
  GstElement* queue = nullptr;
  GstElement* source = nullptr;
  // The source's counters at the first frame and the last: the camera's
  // last as long as the camera, over every run.
  std::uint64_t startCounted[3] = {};
  std::uint64_t endCounted[3] = {};
  int streamingThread = 0;  // the thread the handoff runs on

  std::mutex lock;
  std::condition_variable done;
  bool started = false;
  bool finished = false;
  Times startTimes;
  Times endTimes;
  Clock::time_point startAt, endAt;
  std::uint64_t first = 0, last = 0, counted = 0;
  guint mostQueued = 0;
};

std::uint64_t StatOf(GstElement* source, const char* field) {
  GstStructure* stats = nullptr;
  g_object_get(source, "stats", &stats, nullptr);
  guint64 value = 0;
  if (stats) {
    gst_structure_get_uint64(stats, field, &value);
    gst_structure_free(stats);
  }
  return value;
}

// The counters a run is measured by.
const char* const kCounted[] = {"copies", "frames-lost-no-buffer", "frames-lost-queue-full"};

void OnHandoff(GstElement*, GstBuffer* buffer, GstPad*, gpointer data) {
  auto& tally = *static_cast<SinkTally*>(data);
  const std::uint64_t sequence = GST_BUFFER_OFFSET(buffer);
  if (tally.queue) {
    guint level = 0;
    g_object_get(tally.queue, "current-level-buffers", &level, nullptr);
    tally.mostQueued = std::max(tally.mostQueued, level);
  }
  {
    std::lock_guard<std::mutex> guard(tally.lock);
    if (tally.finished) return;
    if (!tally.started) {
      tally.started = true;
      tally.first = tally.last = sequence;
      tally.streamingThread = ThisThread();
      tally.startTimes = lumo::bench::ThreadTimes();
      tally.startAt = Clock::now();
      for (int i = 0; i < 3; ++i) tally.startCounted[i] = StatOf(tally.source, kCounted[i]);
      return;
    }
    ++tally.counted;
    tally.last = sequence;
    if (tally.counted == tally.wanted) {
      tally.endAt = Clock::now();
      tally.endTimes = lumo::bench::ThreadTimes();  // while the pipeline still runs
      for (int i = 0; i < 3; ++i) tally.endCounted[i] = StatOf(tally.source, kCounted[i]);
      tally.finished = true;
      tally.done.notify_all();
      return;
    }
  }
  const unsigned hold = tally.counted % 100 == 0 ? tally.stallMs : tally.holdMs;
  if (hold) std::this_thread::sleep_for(std::chrono::milliseconds(hold));
}

// Runs `description` (with a lumosrc named "source" and a fakesink named
// "sink") until the sink has seen `tally.wanted` frames after the first.
bool RunPipeline(benchmark::State& state, const std::string& description, SinkTally& tally) {
  BenchCamera();
  static const bool registered = [] {
    gst_init(nullptr, nullptr);
    return gst_element_register(nullptr, "lumosrc", GST_RANK_NONE, GST_TYPE_LUMO_SRC) != FALSE;
  }();
  if (!registered) {
    state.SkipWithError("lumosrc could not be registered");
    return false;
  }
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline) {
    state.SkipWithError(error ? error->message : "no pipeline");
    if (error) g_error_free(error);
    return false;
  }
  GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  tally.queue = gst_bin_get_by_name(GST_BIN(pipeline), "queue");
  tally.source = source;
  g_signal_connect(sink, "handoff", G_CALLBACK(OnHandoff), &tally);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  bool finished = false;
  {
    std::unique_lock<std::mutex> guard(tally.lock);
    const auto limit = std::chrono::seconds(20) + tally.wanted * std::chrono::milliseconds(10);
    finished = tally.done.wait_for(guard, limit, [&] { return tally.finished; });
  }
  std::uint64_t counted[3];
  for (int i = 0; i < 3; ++i) counted[i] = tally.endCounted[i] - tally.startCounted[i];
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (tally.queue) gst_object_unref(tally.queue);
  gst_object_unref(sink);
  gst_object_unref(source);
  gst_object_unref(pipeline);
  if (!finished) {
    state.SkipWithError("the sink did not see every frame in time");
    return false;
  }
  const double seconds = std::chrono::duration<double>(tally.endAt - tally.startAt).count();
  state.counters["frames"] = double(tally.counted);
  state.counters["lost"] = double(tally.last - tally.first - tally.counted);
  state.counters["copies"] = double(counted[0]);
  state.counters["lost_no_buffer"] = double(counted[1]);
  state.counters["lost_queue_full"] = double(counted[2]);
  state.counters["MB_per_s"] = double(tally.counted) * kFrameBytes / 1e6 / seconds;
  // The library's threads and the element's streaming thread (in which
  // fakesink runs as well when no queue stands between them).
  const int streaming = tally.streamingThread;
  state.counters["cpu_core"] = CpuOf(tally.startTimes, tally.endTimes,
                                     [&](int id, const std::string& name) {
                                       return LibraryThread(name) ||
                                              (!tally.queue && id == streaming) ||
                                              (tally.queue && name.rfind("source:", 0) == 0);
                                     }) /
                               seconds;
  if (tally.queue) state.counters["most_queued"] = double(tally.mostQueued);
  return true;
}

void BM_LumosrcFakesink(benchmark::State& state) {
  for (auto _ : state) {
    SinkTally tally;
    tally.wanted = static_cast<std::uint64_t>(state.range(0));
    RunPipeline(state,
                std::string("lumosrc name=source camera=") + kSerial +
                    " buffers=16 ! fakesink name=sink sync=false signal-handoffs=true",
                tally);
  }
}
BENCHMARK(BM_LumosrcFakesink)->Arg(10000)->Iterations(1)->Unit(benchmark::kSecond);

void BM_LumosrcQueueSlowSink(benchmark::State& state) {
  for (auto _ : state) {
    SinkTally tally;
    tally.wanted = 3000;
    tally.holdMs = static_cast<unsigned>(state.range(1));
    tally.stallMs = static_cast<unsigned>(state.range(2));
    RunPipeline(state,
                std::string("lumosrc name=source camera=") + kSerial +
                    " buffers=" + std::to_string(state.range(0)) +
                    " ! queue name=queue max-size-buffers=20 max-size-bytes=0 max-size-time=0"
                    " ! fakesink name=sink sync=false signal-handoffs=true",
                tally);
  }
}
BENCHMARK(BM_LumosrcQueueSlowSink)
    ->ArgNames({"buffers", "hold_ms", "stall_ms"})
    ->Args({16, 3, 60})
    ->Args({24, 3, 60})
    ->Args({16, 2, 150})
    ->Args({64, 2, 150})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
