#include "CameraSession.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <vector>

namespace lumo::gst {
namespace {

constexpr int kMaxIndex = 4096;  // enumeration indices scanned for listed cameras

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The serial part of a device path "\\?\usb#vid_xxxx&pid_xxxx#<serial>#{guid}".
std::string SerialOfPath(const std::string& path) {
  const auto first = path.find('#');
  if (first == std::string::npos) return std::string();
  const auto second = path.find('#', first + 1);
  if (second == std::string::npos) return std::string();
  const auto third = path.find('#', second + 1);
  if (third == std::string::npos) return std::string();
  return path.substr(second + 1, third - second - 1);
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() < 6 &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

}  // namespace

LumoUsbManager& ProcessManager() {
  static LumoUsbManager manager;
  return manager;
}

CameraSession::CameraSession() : manager_(ProcessManager()) {}

bool CameraSession::Open(const std::string& selector, std::string* error) {
  // The listed cameras in enumeration order; indices need not be dense.
  std::vector<std::string> paths;
  const int count = manager_.DeviceCount();
  for (int index = 0; index < kMaxIndex && static_cast<int>(paths.size()) < count; ++index) {
    void* id = manager_.GetDeviceIDForIndex(index);
    if (id != reinterpret_cast<void*>(~std::uintptr_t{0}) && id)
      paths.emplace_back(static_cast<const char*>(id));
  }
  if (paths.empty()) {
    *error = "no camera is plugged in";
    return false;
  }
  std::string chosen;
  if (selector.empty()) {
    chosen = paths.front();
  } else if (IsNumber(selector)) {
    const auto position = static_cast<std::size_t>(std::stoi(selector));
    if (position < paths.size()) chosen = paths[position];
  } else {
    const std::string wanted = Lower(selector);
    for (const std::string& path : paths) {
      if (Lower(path) == wanted || Lower(SerialOfPath(path)) == wanted) {
        chosen = path;
        break;
      }
    }
  }
  if (chosen.empty()) {
    *error =
        "no camera matches '" + selector + "' (" + std::to_string(paths.size()) + " plugged in)";
    return false;
  }
  void* handle = manager_.OpenDevice(const_cast<char*>(chosen.c_str()));
  if (handle == reinterpret_cast<void*>(~std::uintptr_t{0})) {
    const LumoLastError reason = manager_.GetLastError(handle);
    *error = "cannot open " + chosen + ": " + LumoErrorText(reason.kind);
    return false;
  }
  handle_ = handle;
  LumoDeviceDescription description{};
  if (manager_.DescribeDevice(handle_, &description) && description.serialNumber[0] != '\0')
    serial_ = description.serialNumber;
  else
    serial_ = SerialOfPath(chosen);
  return true;
}

void CameraSession::Close() {
  if (handle_ == reinterpret_cast<void*>(~std::uintptr_t{0})) return;
  manager_.StopAcq(handle_);
  manager_.CloseDevice(handle_);
}

std::string NextEmulatedSerial() {
  static std::atomic<int> next{1};
  char serial[24];
  std::snprintf(serial, sizeof(serial), "LUMOSRC%04d", next.fetch_add(1));
  return serial;
}

}  // namespace lumo::gst
