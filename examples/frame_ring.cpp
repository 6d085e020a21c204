// frame_ring: keeps the last few frames of the first camera lent while the
// stream runs, and works on the oldest of them while newer ones come in.
//
//   frame_ring [--emulate] [--seconds=S]
//
// CameraTakeFrame lends a frame: its bytes stay as they were until
// CameraReleaseFrame gives it back, however many frames arrive meanwhile.
// The program holds a ring of kRing frames; each new frame pushes the
// oldest out, which is then processed (its mean pixel value, its age
// against the newest) and given back. A checksum taken when a frame is lent
// is compared with one taken just before it is given back: a lent frame
// that changed fails the run.
//
// A camera lends at most its buffer count less one frames (one buffer
// always stays with the stream), so the run gets kRing + 1 frames to hold
// and more buffers to receive into.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <utility>

#include "example_support.h"
#include "lumo/Frame.h"
#include "lumo/LumoUsbManager.h"

namespace {

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});
constexpr std::size_t kRing = 4;     // frames held while the stream runs
constexpr int kBuffers = kRing + 4;  // the ring, the frame just taken, and room to receive

void* OpenFirstCamera(LumoUsbManager& manager) {
  for (int index = 0; index < 256 && manager.DeviceCount() > 0; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id != kNone) return manager.OpenDevice(id);
  }
  return kNone;
}

// FNV-1a over the image, 8 bytes at a step.
std::uint64_t Checksum(const LumoFrame& frame) {
  const auto* bytes = static_cast<const std::uint8_t*>(frame.image);
  std::uint64_t hash = 14695981039346656037ull;
  std::uint64_t word = 0;
  std::size_t i = 0;
  for (; i + 8 <= frame.imageBytes; i += 8) {
    std::memcpy(&word, bytes + i, 8);
    hash = (hash ^ word) * 1099511628211ull;
  }
  for (; i < frame.imageBytes; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

// Mean pixel value: 8- or 16-bit samples (little-endian), or the bytes of
// other depths.
double MeanPixel(const LumoFrame& frame) {
  const auto* bytes = static_cast<const std::uint8_t*>(frame.image);
  const bool wide = frame.pixelFormat == LUMO_PIXEL_MONO16;
  const std::size_t step = wide ? 2 : 1;
  const std::size_t samples = frame.imageBytes / step;
  double sum = 0;
  for (std::size_t i = 0; i < samples; ++i)
    sum += wide ? bytes[2 * i] | bytes[2 * i + 1] << 8 : bytes[i];
  return samples ? sum / static_cast<double>(samples) : 0.0;
}

// A lent frame with the checksum it had when taken; gives it back when it
// goes.
class Lease {
 public:
  Lease(LumoUsbManager& manager, void* camera, const LumoFrame& frame)
      : manager_(&manager), camera_(camera), frame_(frame), checksum_(Checksum(frame)) {}
  Lease(Lease&& other) noexcept
      : manager_(std::exchange(other.manager_, nullptr)),
        camera_(other.camera_),
        frame_(other.frame_),
        checksum_(other.checksum_) {}
  Lease& operator=(Lease&&) = delete;
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  ~Lease() {
    if (manager_) manager_->CameraReleaseFrame(camera_, frame_.record);
  }

  const LumoFrame& Frame() const { return frame_; }
  bool Unchanged() const { return Checksum(frame_) == checksum_; }

 private:
  LumoUsbManager* manager_;  // null once moved from
  void* camera_;
  LumoFrame frame_;
  std::uint64_t checksum_;
};

struct Tally {
  std::uint64_t taken = 0;
  std::uint64_t processed = 0;
  std::uint64_t lost = 0;  // the frames' lostBefore, added up
  std::uint64_t changed = 0;
  int mostHeld = 0;
};

// Works on the oldest frame of the ring against the newest, then lets it go.
void ProcessOldest(std::deque<Lease>& ring, std::int64_t startNs, Tally& tally) {
  const LumoFrame& oldest = ring.front().Frame();
  const LumoFrame& newest = ring.back().Frame();
  const bool unchanged = ring.front().Unchanged();
  if (!unchanged) ++tally.changed;
  if (tally.processed < 5 || tally.processed % 100 == 0 || !unchanged)
    std::printf(
        "sequence %6llu  frame %6u  at %8.3f ms  lost before %llu  mean %8.1f  "
        "%.2f ms older than sequence %llu%s\n",
        static_cast<unsigned long long>(oldest.sequence), oldest.cameraFrameNumber,
        (oldest.timestampNs - startNs) / 1e6, static_cast<unsigned long long>(oldest.lostBefore),
        MeanPixel(oldest), (newest.timestampNs - oldest.timestampNs) / 1e6,
        static_cast<unsigned long long>(newest.sequence), unchanged ? "" : "  CHANGED WHILE LENT");
  ++tally.processed;
  ring.pop_front();  // gives the frame back
}

}  // namespace

int main(int argc, char** argv) {
  ExampleSetup setup;
  if (!ExampleParse(&setup, argc, argv, 2.0)) return 2;
  if (setup.emulate) ExamplePlugEmulated(&setup, 1);
  LumoUsbManager manager;
  if (manager.DeviceCount() == 0 && ExamplePlugEmulated(&setup, 1) > 0)
    std::printf("no camera found: using an emulated camera\n");

  void* camera = OpenFirstCamera(manager);
  if (camera == kNone) {
    std::printf("no camera could be opened\n");
    ExampleUnplugEmulated(&setup);
    return 1;
  }
  manager.SetBufferCount(camera, kBuffers);
  if (!manager.StartAcq(camera)) {
    std::printf("acquisition did not start: %s\n",
                LumoErrorText(manager.GetLastError(camera).kind));
    manager.CloseDevice(camera);
    ExampleUnplugEmulated(&setup);
    return 1;
  }

  Tally tally;
  const std::int64_t startNs = LumoSteadyClockNs();
  {
    std::deque<Lease> ring;
    while ((LumoSteadyClockNs() - startNs) / 1e9 < setup.seconds) {
      LumoFrame frame{};
      if (!manager.CameraTakeFrame(camera, &frame, 2000)) {
        std::printf("no frame: %s\n", LumoErrorText(manager.GetLastError(camera).kind));
        break;
      }
      ++tally.taken;
      tally.lost += frame.lostBefore;
      ring.emplace_back(manager, camera, frame);
      const int held = manager.CameraHeldFrames(camera);
      if (held > tally.mostHeld) tally.mostHeld = held;
      if (ring.size() > kRing) ProcessOldest(ring, startNs, tally);
    }
    // Lent frames outlive the run: these are processed after the stop.
    manager.StopAcq(camera);
    while (!ring.empty()) ProcessOldest(ring, startNs, tally);
  }
  std::printf(
      "%llu frames taken, %llu processed, %llu lost between them, at most %d lent at once, "
      "%llu changed while lent; %d lent now\n",
      static_cast<unsigned long long>(tally.taken),
      static_cast<unsigned long long>(tally.processed), static_cast<unsigned long long>(tally.lost),
      tally.mostHeld, static_cast<unsigned long long>(tally.changed),
      manager.CameraHeldFrames(camera));
  const bool allBack = manager.CameraHeldFrames(camera) == 0;
  manager.CloseDevice(camera);
  ExampleUnplugEmulated(&setup);
  return tally.taken > 0 && tally.changed == 0 && allBack ? 0 : 1;
}
