// The C face of the emulator (lumo/emulator/lumo_emulator.h): an opaque
// LumoEmuCamera owns one emulated camera device.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "lumo/emulator/lumo_emulator.h"

struct LumoEmuCamera {
  std::unique_ptr<lumo::emulator::EmulatedDevice> device;
};

namespace {

constexpr std::size_t kMaxSerialLength = 64;

}  // namespace

extern "C" {

LumoEmuCamera* LUMO_EMU_CreateCamera(const char* serial) {
  if (!serial) return nullptr;
  if (std::strlen(serial) > kMaxSerialLength) return nullptr;
  auto camera = std::unique_ptr<LumoEmuCamera>(new (std::nothrow) LumoEmuCamera);
  if (!camera) return nullptr;
  try {
    camera->device = lumo::emulator::EmulatedDevice::Camera(serial);
  } catch (...) {
    return nullptr;  // no exception crosses the C interface
  }
  return camera.release();
}

void LUMO_EMU_Destroy(LumoEmuCamera* camera) {
  // Taking ownership back: the device unplugs itself when destroyed.
  std::unique_ptr<LumoEmuCamera> owned(camera);
}

int LUMO_EMU_Plug(LumoEmuCamera* camera) { return camera && camera->device->Plug() ? 1 : 0; }

int LUMO_EMU_Unplug(LumoEmuCamera* camera) { return camera && camera->device->Unplug() ? 1 : 0; }

int LUMO_EMU_IsPlugged(const LumoEmuCamera* camera) {
  return camera && camera->device->IsPlugged() ? 1 : 0;
}

const char* LUMO_EMU_DevicePath(const LumoEmuCamera* camera) {
  return camera ? camera->device->Path().c_str() : nullptr;
}

int LUMO_EMU_SetStream(LumoEmuCamera* camera, int mode, uint32_t width, uint32_t height,
                       uint64_t bytesPerSecond, uint64_t frameLimit) {
  using lumo::emulator::StreamMode;
  if (!camera) return 0;
  if (mode != LUMO_EMU_STREAM_RAW && mode != LUMO_EMU_STREAM_LINE_PACKET) return 0;
  constexpr std::uint32_t kMaxSide = std::numeric_limits<std::uint16_t>::max();
  const bool raw = mode == LUMO_EMU_STREAM_RAW;
  if (raw && (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)) return 0;
  lumo::emulator::CameraStream& stream = camera->device->Stream();
  lumo::emulator::StreamConfig config = stream.Config();
  config.mode = raw ? StreamMode::kRaw : StreamMode::kLinePacket;
  if (raw) {
    config.width = static_cast<std::uint16_t>(width);
    config.height = static_cast<std::uint16_t>(height);
  }
  config.bytesPerSecond = bytesPerSecond;
  config.frameLimit = frameLimit;
  stream.SetConfig(config);
  return 1;
}

int LUMO_EMU_GetCounters(const LumoEmuCamera* camera, LumoEmuCounters* counters) {
  if (!camera || !counters) return 0;
  const lumo::emulator::StreamCounters stream = camera->device->Stream().Counters();
  const lumo::emulator::FirmwareCounters firmware = camera->device->Firmware().Counters();
  counters->startRequests = stream.startRequests;
  counters->framesStarted = stream.framesStarted;
  counters->framesFinished = stream.framesFinished;
  counters->blocksSent = stream.blocksSent;
  counters->bytesSent = stream.bytesSent;
  counters->lastFrameNumber = stream.lastFrameNumber;
  counters->commandFrames = firmware.framesReceived;
  counters->commandAnswers = firmware.answersSent;
  return 1;
}

int LUMO_EMU_GetRegister(const LumoEmuCamera* camera, uint32_t address, uint8_t* bytes,
                         int capacity) {
  if (!camera || (!bytes && capacity > 0)) return -1;
  const auto value = camera->device->Firmware().Register(address);
  if (!value) return -1;
  const std::size_t copied = std::min<std::size_t>(value->size(), capacity > 0 ? capacity : 0);
  if (copied > 0) std::memcpy(bytes, value->data(), copied);
  return static_cast<int>(value->size());
}

uint8_t LUMO_EMU_RawImageByte(uint32_t frameNumber, uint32_t offset) {
  return lumo::emulator::RawImageByte(frameNumber, offset);
}

uint16_t LUMO_EMU_LineWord(uint32_t frameNumber, uint32_t line, uint32_t word) {
  return lumo::emulator::LineWord(frameNumber, line, word);
}

int LUMO_EMU_WaitForNoticesHandled(uint32_t timeoutMs) {
  return lumo::emulator::WaitForNoticesHandled(timeoutMs) ? 1 : 0;
}

}  // extern "C"
