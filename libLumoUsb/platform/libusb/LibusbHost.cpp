#include "platform/libusb/LibusbHost.h"

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/libusb/DriverWire.h"
#include "platform/libusb/LibusbCamera.h"
#include "platform/libusb/Worker.h"

namespace lumo::platform::libusb {

namespace {

constexpr int kMaxPorts = 7;  // USB 3 allows hubs seven tiers deep

bool IsCamera(const libusb_device_descriptor& descriptor) {
  return descriptor.idVendor == kCameraVendorId && descriptor.idProduct == kCameraProductId;
}

// The part of a device path that names the camera: its serial number with
// characters that would break the path's grammar replaced, or its port.
std::string CameraName(libusb_device* device, libusb_device_handle* handle,
                       const libusb_device_descriptor& descriptor) {
  if (descriptor.iSerialNumber != 0) {
    unsigned char serial[256] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, serial,
                                                          sizeof(serial) - 1);
    if (length > 0) {
      std::string name(reinterpret_cast<const char*>(serial), static_cast<std::size_t>(length));
      for (char& c : name)
        if (c == '#' || c == '\\' || c == '{' || c == '}' || static_cast<unsigned char>(c) < 0x21 ||
            static_cast<unsigned char>(c) > 0x7E)
          c = '_';
      return name;
    }
  }
  std::uint8_t ports[kMaxPorts] = {};
  const int depth = libusb_get_port_numbers(device, ports, kMaxPorts);
  std::string name = "port-" + std::to_string(libusb_get_bus_number(device));
  for (int i = 0; i < depth; ++i) name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
  return name;
}

std::string PathFor(const libusb_device_descriptor& descriptor, const std::string& name) {
  char head[32];
  std::snprintf(head, sizeof(head), "\\\\?\\usb#vid_%04x&pid_%04x#", descriptor.idVendor,
                descriptor.idProduct);
  return head + name + "#" + kDriverInterfaceClassText;
}

class Host {
 public:
  // The host of the process, made on the first call; nullptr when libusb
  // cannot be used (no USB on the machine) or LUMO_LIBUSB=0 says not to.
  static void Start() {
    const char* setting = std::getenv("LUMO_LIBUSB");
    if (setting && std::strcmp(setting, "0") == 0) return;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS) return;
    instance_ = new Host(context);  // lives until the process ends
    instance_->Run();
  }

 private:
  explicit Host(libusb_context* context)
      : context_(context), devices_("lumo-usbhost"), calls_("lumo-usbcalls") {}

  void Run() {
    events_ = std::thread([this] { HandleEvents(); });
    hotplug_ = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (hotplug_) {
      // Registered before the first scan: a camera that arrives meanwhile is
      // seen twice, and the second arrival is ignored.
      const int result = libusb_hotplug_register_callback(
          context_,
          static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                            LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
          LIBUSB_HOTPLUG_NO_FLAGS, kCameraVendorId, kCameraProductId, LIBUSB_HOTPLUG_MATCH_ANY,
          &Host::OnHotplug, this, nullptr);
      hotplug_ = result == LIBUSB_SUCCESS;
    }
    devices_.Run([this] { Rescan(); });
    if (!hotplug_) rescanner_ = std::thread([this] { RescanEverySecond(); });
  }

  void HandleEvents() {
    NameCurrentThread("lumo-usbevents");
    for (;;) {
      timeval limit{0, 200000};
      libusb_handle_events_timeout_completed(context_, &limit, nullptr);
    }
  }

  void RescanEverySecond() {
    NameCurrentThread("lumo-usbrescan");
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      devices_.Run([this] { Rescan(); });
    }
  }

  // Runs on libusb's event thread: only queues the event for the worker.
  static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* device,
                                   libusb_hotplug_event event, void* context) {
    Host* host = static_cast<Host*>(context);
    libusb_ref_device(device);
    const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    host->devices_.Post([host, device, arrived] {
      if (arrived)
        host->Arrived(device);
      else
        host->Left(device);
      libusb_unref_device(device);
    });
    return 0;  // stay registered
  }

  // Plugs the cameras present that are not plugged yet and unplugs those
  // that are gone. On the worker.
  void Rescan() {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &list);
    if (count < 0) return;
    for (auto it = present_.begin(); it != present_.end();) {
      bool still = false;
      for (ssize_t i = 0; i < count && !still; ++i) still = list[i] == it->first;
      auto next = std::next(it);
      if (!still) Left(it->first);
      it = next;
    }
    for (ssize_t i = 0; i < count; ++i) Arrived(list[i]);
    libusb_free_device_list(list, 1);
  }

  void Arrived(libusb_device* device) {
    if (present_.count(device)) return;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || !IsCamera(descriptor)) return;
    libusb_device_handle* handle = nullptr;
    const int result = libusb_open(device, &handle);
    if (result != LIBUSB_SUCCESS) {
      // Usually a missing udev rule: say so once per device.
      if (refused_.insert(device).second)
        std::fprintf(stderr,
                     "libLumoUsb: cannot open the camera on USB bus %u, address %u: %s "
                     "(see \"Linux with a real camera\" in the README)\n",
                     libusb_get_bus_number(device), libusb_get_device_address(device),
                     libusb_error_name(result));
      return;
    }
    Present entry;
    entry.path = PathFor(descriptor, CameraName(device, handle, descriptor));
    entry.camera = std::make_unique<LibusbCamera>(handle, calls_);
    if (!virt::Plug(kDriverInterfaceClass, entry.path, entry.camera.get())) {
      // Another camera has the same serial number: name this one by its port.
      entry.path = PathFor(descriptor, CameraName(device, nullptr, libusb_device_descriptor{}));
      if (!virt::Plug(kDriverInterfaceClass, entry.path, entry.camera.get())) return;
    }
    libusb_ref_device(device);
    present_.emplace(device, std::move(entry));
  }

  void Left(libusb_device* device) {
    refused_.erase(device);
    auto it = present_.find(device);
    if (it == present_.end()) return;
    // Once Unplug returns no request reaches the camera and every
    // outstanding one is finished; then its transfers can be given back.
    virt::Unplug(it->second.path);
    it->second.camera->Shutdown();
    present_.erase(it);
    libusb_unref_device(device);
  }

  struct Present {
    std::string path;
    std::unique_ptr<LibusbCamera> camera;
  };

  static Host* instance_;
  libusb_context* const context_;
  bool hotplug_ = false;
  Worker devices_;  // arrivals, removals and rescans, in order
  Worker calls_;    // the cameras' synchronous libusb calls
  std::thread events_;
  std::thread rescanner_;
  std::map<libusb_device*, Present> present_;  // on the devices_ worker only
  std::set<libusb_device*> refused_;           // on the devices_ worker only
};

Host* Host::instance_ = nullptr;

}  // namespace

void StartHost() {
  static std::once_flag once;
  std::call_once(once, [] { Host::Start(); });
}

}  // namespace lumo::platform::libusb

namespace lumo::platform::virt {

void StartHostDrivers() { libusb::StartHost(); }

}  // namespace lumo::platform::virt
