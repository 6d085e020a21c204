// What every command works with: the emulated cameras (--emulate), the
// library's manager and the camera chosen with --camera.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Emulation.h"
#include "Options.h"
#include "lumo/LumoUsbManager.h"

namespace lumo::tool {

// A registered camera: its index (the key GetDeviceIDForIndex takes) and
// device ID (its device path).
struct CameraEntry {
  int index = -1;
  void* id = nullptr;
  std::string path;
};

class Session {
 public:
  Session(const GlobalOptions& globals, const char* command);
  // Closes the camera it opened.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Plugs in the emulated cameras asked for, then makes the manager and
  // routes the library's messages to the console. An exit code: kExitOk,
  // or the reason it could not, printed.
  int Start();

  LumoUsbManager& Manager() { return *manager_; }
  // The emulated cameras, or null without --emulate.
  Emulation* Emulated() { return emulation_.get(); }
  const GlobalOptions& Globals() const { return globals_; }

  // The registered cameras, in index order.
  std::vector<CameraEntry> Cameras();
  // Opens the camera chosen with --camera (the first without it). An exit
  // code: kExitOk with *handle set, or kExitNoCamera / kExitCannotOpen,
  // with the reason printed.
  int OpenChosen(void** handle, CameraEntry* entry);

  // Why the last call on the camera failed, as the library tells it.
  std::string Reason(void* handle);
  // Prints "lumo COMMAND: what: reason" to stderr; returns kExitFailed.
  int Failure(void* handle, const std::string& what);

 private:
  GlobalOptions globals_;
  const char* command_;
  std::unique_ptr<Emulation> emulation_;
  std::unique_ptr<LumoUsbManager> manager_;
  void* opened_ = nullptr;
};

}  // namespace lumo::tool
