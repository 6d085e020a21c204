#include "Emulation.h"

#include <cstdio>
#include <vector>

#ifdef LUMO_VIRTUAL_BACKEND
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#endif

namespace lumo::tool {

#ifdef LUMO_VIRTUAL_BACKEND

using lumo::emulator::EmulatedDevice;

struct Emulation::Devices {
  std::vector<std::unique_ptr<EmulatedDevice>> cameras;
};

namespace {

std::string SerialFor(int number) {
  char serial[16];
  std::snprintf(serial, sizeof(serial), "LUMO%04d", number);
  return serial;
}

}  // namespace

bool Emulation::Available() { return true; }

Emulation::Emulation() : devices_(std::make_unique<Devices>()) {}

Emulation::~Emulation() = default;

bool Emulation::Plug(int cameras, std::string* error) {
  for (int i = 0; i < cameras; ++i) {
    devices_->cameras.push_back(EmulatedDevice::Camera(SerialFor(Count() + 1)));
    if (!devices_->cameras.back()->Plug()) {
      *error = "could not plug in the emulated camera " + devices_->cameras.back()->Path();
      return false;
    }
  }
  return true;
}

int Emulation::Count() const { return static_cast<int>(devices_->cameras.size()); }

std::string Emulation::Serial(int camera) const {
  return devices_->cameras.at(static_cast<std::size_t>(camera))->Identity().serial;
}

void Emulation::SetStream(bool linePacket, int pixelSize) {
  for (auto& camera : devices_->cameras) {
    lumo::emulator::StreamConfig config = camera->Stream().Config();
    config.mode =
        linePacket ? lumo::emulator::StreamMode::kLinePacket : lumo::emulator::StreamMode::kRaw;
    config.pixelSize = static_cast<std::uint32_t>(pixelSize);
    camera->Stream().SetConfig(config);
  }
}

bool Emulation::Unplug(int camera) {
  const bool done = devices_->cameras.at(static_cast<std::size_t>(camera))->Unplug();
  lumo::emulator::WaitForNoticesHandled(2000);
  return done;
}

bool Emulation::Replug(int camera) {
  const bool done = devices_->cameras.at(static_cast<std::size_t>(camera))->Plug();
  lumo::emulator::WaitForNoticesHandled(2000);
  return done;
}

int Emulation::AddCamera() {
  devices_->cameras.push_back(EmulatedDevice::Camera(SerialFor(Count() + 1)));
  devices_->cameras.back()->Plug();
  lumo::emulator::WaitForNoticesHandled(2000);
  return Count() - 1;
}

#else

struct Emulation::Devices {};

bool Emulation::Available() { return false; }
Emulation::Emulation() = default;
Emulation::~Emulation() = default;
bool Emulation::Plug(int, std::string* error) {
  *error = "this lumo was built for real cameras and has no emulator";
  return false;
}
int Emulation::Count() const { return 0; }
std::string Emulation::Serial(int) const { return std::string(); }
void Emulation::SetStream(bool, int) {}
bool Emulation::Unplug(int) { return false; }
bool Emulation::Replug(int) { return false; }
int Emulation::AddCamera() { return -1; }

#endif

}  // namespace lumo::tool
