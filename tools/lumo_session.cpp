// lumo_session: a camera session on the cameras the library finds.
//
// It lists the cameras, opens the first one, writes and reads a register,
// exchanges bytes over the buffer channel, acquires frames for a few
// seconds, saves one as a PGM image (lumo_frame.pgm, or the path given as
// the first argument), prints frames per second, MB/s and frames lost, and
// closes the camera again.
// With the virtual backend (Linux, tests) it first plugs emulated devices
// into it: two cameras and one device of the same driver that is not a
// camera, so that a session shows real output without hardware.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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
  std::vector<std::uint8_t> samples(frame.imageAddress, frame.imageAddress + pixels * bytesPerPixel);
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

}  // namespace

int main(int argc, char** argv) {
  const char* imagePath = argc > 1 ? argv[1] : "lumo_frame.pgm";
#ifdef LUMO_VIRTUAL_BACKEND
  using lumo::emulator::EmulatedDevice;
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  devices.push_back(EmulatedDevice::Camera("LUMO0001"));
  devices.push_back(EmulatedDevice::OtherDevice("BRIDGE01"));
  devices.push_back(EmulatedDevice::Camera("LUMO0002"));
  for (const auto& device : devices) {
    if (!device->Plug()) {
      std::fprintf(stderr, "could not plug %s\n", device->Path().c_str());
      return 1;
    }
    std::printf("plugged emulated device %s\n", device->Path().c_str());
  }
#endif

  LumoUsbManager manager;
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
  manager.CloseDevice(camera);
  std::printf("closed the camera\n");
  return answered && acquired ? 0 : 1;
}
