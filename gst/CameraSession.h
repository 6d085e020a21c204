// CameraSession: one open camera of lumosrc, shared by the element and every
// buffer that wraps one of its lent frames.
//
// A buffer's memory is a frame the library lent; the buffer gives it back
// when GStreamer frees it, which can happen on any thread, long after the
// element stopped or was destroyed. Every such buffer holds a reference to
// the session, so the manager through which the frame is given back lives
// until the last buffer is gone.
//
// Every session uses the one manager of the process (ProcessManager): each
// LumoUsbManager that is constructed makes a registry and a hot-plug
// watcher of its own that live until the process ends, so making one per
// element start would add a watcher thread each time and let two registries
// open the same camera.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lumo/LumoUsbManager.h"

namespace lumo::gst {

class CameraSession {
 public:
  CameraSession();
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  // Finds and opens the camera `selector` names: empty for the first camera
  // listed, a serial number, a device path (the device ID), or a decimal
  // number counting the listed cameras from 0. False with *error set when
  // none matches or it does not open.
  bool Open(const std::string& selector, std::string* error);
  // Stops acquisition and closes the camera. Frames still lent stay valid
  // and are given back through Release.
  void Close();

  LumoUsbManager& Manager() { return manager_; }
  void* Handle() const { return handle_; }
  const std::string& Serial() const { return serial_; }

  // Gives back a frame taken from this session's camera.
  void Release(void* record) { manager_.CameraReleaseFrame(handle_, record); }

 private:
  LumoUsbManager& manager_;
  void* handle_ = reinterpret_cast<void*>(~std::uintptr_t{0});
  std::string serial_;
};

// The process's manager, made on first use; it lives until the process ends.
LumoUsbManager& ProcessManager();

// Numbers emulated cameras across the process, so that several elements
// can plug cameras of their own without two sharing a device path.
std::string NextEmulatedSerial();

}  // namespace lumo::gst
