// Emulated cameras for --emulate: plugged into the library's virtual
// backend before the manager is made, so that every command runs without
// hardware. Builds without the emulator (the Windows backend) have none.
#pragma once

#include <memory>
#include <string>

namespace lumo::tool {

class Emulation {
 public:
  // Whether this build has the emulator.
  static bool Available();

  Emulation();
  ~Emulation();  // unplugs every camera
  Emulation(const Emulation&) = delete;
  Emulation& operator=(const Emulation&) = delete;

  // Plugs in `cameras` cameras with the serial numbers LUMO0001, LUMO0002...
  bool Plug(int cameras, std::string* error);
  int Count() const;
  std::string Serial(int camera) const;

  // From their next frame on, the cameras send raw frames of `pixelSize`
  // bytes per pixel, or line-packet frames.
  void SetStream(bool linePacket, int pixelSize);

  // For the watch demo: unplugs or plugs back camera `camera`; plugs in one
  // more camera and returns its number.
  bool Unplug(int camera);
  bool Replug(int camera);
  int AddCamera();

 private:
  struct Devices;
  std::unique_ptr<Devices> devices_;
};

}  // namespace lumo::tool
