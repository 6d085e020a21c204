// lumo_session: a camera session on the cameras the library finds.
//
// It lists the cameras, opens the first one, writes and reads a register,
// exchanges bytes over the buffer channel, acquires frames for a few
// seconds, saves one as a PGM image (lumo_frame.pgm, or the path given as
// the first argument), prints frames per second, MB/s and frames lost, and
// closes the camera again.
//
// With --watch[=SECONDS] (default 8) it then watches the camera acquire for
// that long, printing once a second the cameras registered and the frames
// received, and saying when frames stop and when they resume. With the
// emulated cameras the first camera is unplugged after 2 s and plugged back
// 2 s later, and a third camera arrives: the library re-attaches the camera
// and resumes its acquisition without any call by this program.
//
// With emulated cameras (the virtual backend, --emulate, or the libusb
// backend when no camera is attached) it first plugs emulated devices: two
// cameras and one device of the same driver that is not a camera, so that a
// session shows real output without hardware. It says which cameras it uses;
// --real insists on cameras attached through libusb.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/FrameRecord.h"
#include "lumo/LumoUsbManager.h"

#ifdef LUMO_VIRTUAL_BACKEND
#include "lumo/emulator/EmulatedDevice.h"
#endif

namespace {

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

std::string Hex(const std::uint8_t* bytes, int count) {
  std::string text;
  char digits[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof(digits), "%02X ", bytes[i]);
    text += digits;
  }
  if (!text.empty()) text.pop_back();
  return text;
}

// Writes a register, reads it back, and echoes bytes through the buffer
// channel. Returns false when the camera did not answer as expected.
bool ExerciseCommandChannel(LumoUsbManager& manager, void* camera) {
  constexpr std::int64_t kRegister = 0x0020;
  std::uint8_t written[4] = {0x12, 0x34, 0x56, 0x78};
  std::uint8_t answer[4];
  std::memcpy(answer, written, sizeof(answer));
  if (!manager.SetupCommand(camera, kRegister, answer, 4, 1000)) {
    std::printf("register write 0x%04llX failed\n", static_cast<long long>(kRegister));
    return false;
  }
  std::uint8_t read[4] = {};
  if (!manager.ReadCommand(camera, kRegister, read, 4, 1000)) {
    std::printf("register read 0x%04llX failed\n", static_cast<long long>(kRegister));
    return false;
  }
  std::printf("register 0x%04llX: wrote %s, read %s\n", static_cast<long long>(kRegister),
              Hex(written, 4).c_str(), Hex(read, 4).c_str());

  std::vector<std::uint8_t> message(300);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i);
  if (!manager.CameraSendBuffer(camera, message.data(), static_cast<int>(message.size()), 1000)) {
    std::printf("buffer send failed\n");
    return false;
  }
  std::vector<std::uint8_t> received;
  while (received.size() < message.size()) {
    std::uint8_t chunk[2048];
    int length = sizeof(chunk);
    if (!manager.CameraReadBuffer(camera, chunk, &length, 1000)) break;
    received.insert(received.end(), chunk, chunk + length);
  }
  std::printf("buffer channel: sent %zu bytes, received %zu bytes back%s\n", message.size(),
              received.size(), received == message ? " (identical)" : "");
  return std::memcmp(read, written, 4) == 0 && received == message;
}

// Writes a frame as a binary PGM: 8-bit samples for 1 byte per pixel, 16-bit
// (big-endian, as PGM wants) for 2.
bool SavePgm(const lumo::FrameRecordHeader& frame, const char* path) {
  const std::uint32_t bytesPerPixel = frame.depth >= 9 ? 2 : (frame.depth == 0 ? 1 : frame.depth);
  if (bytesPerPixel > 2 || frame.width == 0 || frame.height == 0) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  std::fprintf(file, "P5\n%u %u\n%u\n", frame.width, frame.height,
               bytesPerPixel == 2 ? 65535u : 255u);
  const std::size_t pixels = std::size_t{frame.width} * frame.height;
  std::vector<std::uint8_t> samples(frame.imageAddress,
                                    frame.imageAddress + pixels * bytesPerPixel);
  if (bytesPerPixel == 2)
    for (std::size_t i = 0; i < pixels; ++i) std::swap(samples[2 * i], samples[2 * i + 1]);
  const bool written = std::fwrite(samples.data(), 1, samples.size(), file) == samples.size();
  return std::fclose(file) == 0 && written;
}

// Acquires frames for `seconds`, saves the first one and prints the rates.
bool Acquire(LumoUsbManager& manager, void* camera, double seconds, const char* imagePath) {
  if (!manager.StartAcq(camera)) {
    std::printf("acquisition did not start\n");
    return false;
  }
  std::uint64_t frames = 0;
  std::uint64_t lost = 0;
  std::uint64_t bytes = 0;
  std::uint32_t last = 0;
  bool saved = false;
  const auto start = std::chrono::steady_clock::now();
  double elapsed = 0;
  while (elapsed < seconds) {
    void* image = nullptr;
    if (!manager.CameraGetImage(camera, &image, 2000)) {
      std::printf("no frame within 2 s\n");
      break;
    }
    const auto& frame = *static_cast<const lumo::FrameRecordHeader*>(image);
    if (frames > 0 && frame.frameNumber > last + 1) lost += frame.frameNumber - last - 1;
    last = frame.frameNumber;
    ++frames;
    const std::uint32_t bytesPerPixel = frame.depth >= 9 ? 2 : (frame.depth == 0 ? 1 : frame.depth);
    bytes += std::uint64_t{frame.width} * frame.height * bytesPerPixel;
    if (!saved) {
      saved = SavePgm(frame, imagePath);
      std::printf("frame %u: %u x %u, %u byte(s) per pixel%s%s\n", frame.frameNumber, frame.width,
                  frame.height, bytesPerPixel, saved ? ", saved to " : ", could not save to ",
                  imagePath);
    }
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  manager.StopAcq(camera);
  if (elapsed <= 0) return false;
  std::printf("acquired %llu frames in %.2f s: %.1f frames/s, %.1f MB/s, %llu frames lost\n",
              static_cast<unsigned long long>(frames), elapsed, frames / elapsed,
              bytes / elapsed / 1e6, static_cast<unsigned long long>(lost));
  return frames > 0 && saved;
}

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Acquires for `seconds` and reports what the application sees while
// cameras come and go: the registered cameras and the frames received each
// second, and gaps in the frames. `frameInUse` is held while a frame is
// looked at: a camera that leaves releases its frame buffers.
bool Watch(LumoUsbManager& manager, void* camera, double seconds, std::mutex& frameInUse,
           Clock::time_point start) {
  if (!manager.StartAcq(camera)) {
    std::printf("watch: acquisition did not start\n");
    return false;
  }
  std::uint64_t total = 0;
  std::uint64_t thisSecond = 0;
  double nextReport = 1.0;
  double lastFrame = 0;
  bool gap = false;
  int resumed = 0;
  for (double now = 0; now < seconds; now = Since(start)) {
    void* image = nullptr;
    bool got = false;
    std::uint32_t number = 0;
    {
      std::lock_guard<std::mutex> looking(frameInUse);
      got = manager.CameraGetImage(camera, &image, 100);
      if (got) number = static_cast<const lumo::FrameRecordHeader*>(image)->frameNumber;
    }
    now = Since(start);
    if (got) {
      if (gap) {
        std::printf("[%5.1f s] frames resumed after %.1f s (frame %u), without any call\n", now,
                    now - lastFrame, number);
        ++resumed;
      }
      gap = false;
      lastFrame = now;
      ++total;
      ++thisSecond;
    } else if (!gap && now - lastFrame > 0.5) {
      std::printf("[%5.1f s] no frame since %.1f s: the camera is away\n", now, lastFrame);
      gap = true;
    } else {
      // A frame wait that ends at once (a camera that is away) must not
      // spin this loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (now >= nextReport) {
      std::printf("[%5.1f s] cameras registered: %d, frames this second: %llu, total: %llu\n", now,
                  manager.DeviceCount(), static_cast<unsigned long long>(thisSecond),
                  static_cast<unsigned long long>(total));
      thisSecond = 0;
      nextReport += 1.0;
    }
  }
  manager.StopAcq(camera);
  std::printf("watch: %llu frames in %.1f s; frames resumed %d time(s) after a gap\n",
              static_cast<unsigned long long>(total), seconds, resumed);
  return total > 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* imagePath = "lumo_frame.pgm";
  double watchSeconds = 0;
  bool emulate = false;
  bool realOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--emulate") == 0) {
      emulate = true;
    } else if (std::strcmp(argv[i], "--real") == 0) {
      realOnly = true;
    } else if (std::strcmp(argv[i], "--watch") == 0) {
      watchSeconds = 8;
    } else if (std::strncmp(argv[i], "--watch=", 8) == 0) {
      watchSeconds = std::atof(argv[i] + 8);
      if (watchSeconds <= 0) {
        std::fprintf(stderr, "--watch=SECONDS wants a positive number of seconds\n");
        return 2;
      }
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr,
                   "usage: lumo_session [--emulate | --real] [--watch[=SECONDS]] [IMAGE.pgm]\n");
      return 2;
    } else {
      imagePath = argv[i];
    }
  }
  if (emulate && realOnly) {
    std::fprintf(stderr, "--emulate and --real exclude each other\n");
    return 2;
  }
#if defined(LUMO_LIBUSB_BACKEND)
  // Cameras attached through libusb come first; emulated ones stand in when
  // asked for or when none is attached.
  if (!emulate) {
    LumoUsbManager probe;
    if (probe.DeviceCount() > 0) {
      std::printf("using the cameras attached through libusb\n");
    } else if (realOnly) {
      std::printf("no camera is attached\n");
      return 1;
    } else {
      std::printf("no camera is attached: using emulated cameras\n");
      emulate = true;
    }
  }
#elif defined(LUMO_VIRTUAL_BACKEND)
  if (realOnly) {
    std::printf("this build reaches emulated cameras only\n");
    return 1;
  }
  std::printf("using emulated cameras\n");
  emulate = true;
#else
  if (emulate) {
    std::printf("this build has no emulator\n");
    return 1;
  }
#endif
#ifdef LUMO_VIRTUAL_BACKEND
  using lumo::emulator::EmulatedDevice;
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  if (emulate) {
    devices.push_back(EmulatedDevice::Camera("LUMO0001"));
    devices.push_back(EmulatedDevice::OtherDevice("BRIDGE01"));
    devices.push_back(EmulatedDevice::Camera("LUMO0002"));
  }
  for (const auto& device : devices) {
    if (!device->Plug()) {
      std::fprintf(stderr, "could not plug %s\n", device->Path().c_str());
      return 1;
    }
    std::printf("plugged emulated device %s\n", device->Path().c_str());
  }
#endif

  LumoUsbManager manager;
#ifdef LUMO_LIBUSB_BACKEND
  // A manager made before the emulated cameras were plugged learns of them
  // through their arrival notices.
  for (int wait = 0; emulate && manager.DeviceCount() < 2 && wait < 300; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
#endif
  const int count = manager.DeviceCount();
  std::printf("cameras found: %d\n", count);
  // Device IDs are keyed by enumeration position, which counts every device
  // of the driver: walk the positions a driver can have.
  void* firstId = kNone;
  int listed = 0;
  for (int index = 0; index < 256 && listed < count; ++index) {
    void* id = manager.GetDeviceIDForIndex(index);
    if (id == kNone) continue;
    std::printf("  index %d: %s\n", index, static_cast<const char*>(id));
    if (firstId == kNone) firstId = id;
    ++listed;
  }
  if (firstId == kNone) return count == 0 ? 0 : 1;

  void* camera = manager.OpenDevice(firstId);
  if (camera == kNone) {
    std::printf("could not open %s\n", static_cast<const char*>(firstId));
    return 1;
  }
  std::printf("opened %s\n", static_cast<const char*>(firstId));
  const bool answered = ExerciseCommandChannel(manager, camera);
  const bool acquired = Acquire(manager, camera, 3.0, imagePath);
  bool watched = true;
  if (watchSeconds > 0) {
    std::mutex frameInUse;
    const auto start = Clock::now();
    std::printf("watch: acquiring for %.1f s\n", watchSeconds);
#ifdef LUMO_VIRTUAL_BACKEND
    // Plays the user at the cables: the second camera, which is not open,
    // leaves (and is dropped); the watched camera leaves and returns; the
    // second camera returns and a third one is plugged in. Real cameras
    // are left to the user's own hands.
    auto arriving = EmulatedDevice::Camera("LUMO0003");
    std::atomic<bool> watching{true};
    std::thread cable([&] {
      if (devices.empty()) return;
      const auto at = [&](double share) {
        while (watching.load() && Since(start) < watchSeconds * share)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return watching.load();
      };
      const auto say = [&](const char* what, const EmulatedDevice& device) {
        std::printf("[%5.1f s] %s %s\n", Since(start), what, device.Path().c_str());
      };
      if (!at(0.2)) return;
      devices[2]->Unplug();
      say("unplugged", *devices[2]);
      if (!at(0.25)) return;
      {
        std::lock_guard<std::mutex> noFrameInUse(frameInUse);
        devices[0]->Unplug();
      }
      say("unplugged the watched camera", *devices[0]);
      if (!at(0.5)) return;
      devices[0]->Plug();
      say("plugged back in the watched camera", *devices[0]);
      if (!at(0.6)) return;
      devices[2]->Plug();
      say("plugged back in", *devices[2]);
      if (!at(0.7)) return;
      arriving->Plug();
      say("plugged in a new camera", *arriving);
    });
#endif
    watched = Watch(manager, camera, watchSeconds, frameInUse, start);
#ifdef LUMO_VIRTUAL_BACKEND
    watching = false;
    cable.join();
#endif
  }
  manager.CloseDevice(camera);
  std::printf("closed the camera\n");
  return answered && acquired && watched ? 0 : 1;
}
