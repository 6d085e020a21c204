#include "Session.h"

#include <cstdint>
#include <cstdio>

#include "Console.h"
#include "ExitCodes.h"
#include "lumo/LumoError.h"

namespace lumo::tool {

namespace {

void* const kNone = reinterpret_cast<void*>(~std::uintptr_t{0});

}  // namespace

Session::Session(const GlobalOptions& globals, const char* command)
    : globals_(globals), command_(command) {}

Session::~Session() {
  if (opened_) manager_->CloseDevice(opened_);
}

int Session::Start() {
  if (globals_.emulate > 0) {
    emulation_ = std::make_unique<Emulation>();
    std::string error;
    if (!emulation_->Plug(globals_.emulate, &error)) {
      std::fprintf(stderr, "lumo %s: --emulate: %s\n", command_, error.c_str());
      return Emulation::Available() ? kExitFailed : kExitUsage;
    }
  }
  Console::Instance().InstallLogSink(globals_.quiet);
  manager_ = std::make_unique<LumoUsbManager>();
  return kExitOk;
}

std::vector<CameraEntry> Session::Cameras() {
  std::vector<CameraEntry> cameras;
  // Indices are positions in the driver's whole device list (at most 255
  // devices), so they need not be 0, 1, 2...
  const std::size_t count = static_cast<std::size_t>(manager_->DeviceCount());
  for (int index = 0; index < 256 && cameras.size() < count; ++index) {
    void* id = manager_->GetDeviceIDForIndex(index);
    if (id == kNone) continue;
    cameras.push_back(CameraEntry{index, id, static_cast<const char*>(id)});
  }
  return cameras;
}

int Session::OpenChosen(void** handle, CameraEntry* entry) {
  const std::vector<CameraEntry> cameras = Cameras();
  if (cameras.empty()) {
    std::fprintf(stderr, "lumo %s: no camera found%s\n", command_,
                 globals_.emulate > 0 ? "" : " (try --emulate for emulated cameras)");
    return kExitNoCamera;
  }
  const CameraEntry* chosen = &cameras.front();
  if (globals_.camera >= 0) {
    chosen = nullptr;
    for (const CameraEntry& camera : cameras)
      if (camera.index == globals_.camera) chosen = &camera;
    if (!chosen) {
      std::string indices;
      for (const CameraEntry& camera : cameras)
        indices += (indices.empty() ? "" : ", ") + std::to_string(camera.index);
      std::fprintf(stderr, "lumo %s: no camera has index %d (cameras: %s)\n", command_,
                   globals_.camera, indices.c_str());
      return kExitNoCamera;
    }
  }
  void* camera = manager_->OpenDevice(chosen->id);
  if (camera == kNone) {
    std::fprintf(stderr, "lumo %s: camera %d (%s) could not be opened\n", command_, chosen->index,
                 chosen->path.c_str());
    return kExitCannotOpen;
  }
  opened_ = camera;
  *handle = camera;
  if (entry) *entry = *chosen;
  Console::Instance().NameCamera(camera, "camera " + std::to_string(chosen->index));
  return kExitOk;
}

std::string Session::Reason(void* handle) {
  const LumoLastError error = manager_->GetLastError(handle);
  const char* text = LumoErrorText(error.kind);
  std::string reason = text && *text ? text : "unknown reason";
  if (error.kind == LUMO_ERROR_OS) reason += " (OS error " + std::to_string(error.osError) + ")";
  return reason;
}

int Session::Failure(void* handle, const std::string& what) {
  const std::string reason = Reason(handle);
  Console::Instance().Line("lumo " + std::string(command_) + ": " + what + ": " + reason, true);
  return kExitFailed;
}

}  // namespace lumo::tool
