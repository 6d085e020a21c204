#include "lumo/emulator/EmulatedDevice.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/virtual/VirtualBus.h"
#include "usb/DriverInterface.h"

namespace lumo::emulator {

namespace virt = platform::virt;

// The kernel driver's side of one emulated device. Every control code it
// does not serve is refused with ERROR_INVALID_FUNCTION, as the real driver
// answers an unknown request.
class EmulatedDevice::Driver : public virt::VirtualDriver {
 public:
  explicit Driver(DeviceIdentity identity)
      : identity_(std::move(identity)), path_(DevicePathFor(identity_)) {}

  void OnRequest(const virt::RequestInfo& request) override {
    refused_.fetch_add(1, std::memory_order_relaxed);
    virt::CompleteRequest(request.id, platform::kErrorInvalidFunction);
  }

  bool Plug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (plugged_) return false;
    plugged_ = virt::Plug(usb::kDriverInterfaceClass, path_, this);
    return plugged_;
  }

  bool Unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) return false;
    virt::Unplug(path_);
    plugged_ = false;
    return true;
  }

  bool IsPlugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
  }

  const DeviceIdentity& Identity() const { return identity_; }
  const std::string& Path() const { return path_; }
  std::uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }

 private:
  const DeviceIdentity identity_;
  const std::string path_;
  std::mutex mutex_;  // guards plugged_ and serialises plugging
  bool plugged_ = false;
  std::atomic<std::uint64_t> refused_{0};
};

std::string DevicePathFor(const DeviceIdentity& identity) {
  char ids[32];
  std::snprintf(ids, sizeof(ids), "VID_%04X&PID_%04X", static_cast<unsigned>(identity.vendorId),
                static_cast<unsigned>(identity.productId));
  return std::string("\\\\?\\USB#") + ids + "#" + identity.serial +
         "#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
}

EmulatedDevice::EmulatedDevice(DeviceIdentity identity)
    : driver_(std::make_unique<Driver>(std::move(identity))) {}

EmulatedDevice::~EmulatedDevice() { driver_->Unplug(); }

std::unique_ptr<EmulatedDevice> EmulatedDevice::Camera(const std::string& serial) {
  return std::make_unique<EmulatedDevice>(DeviceIdentity{kCameraVendorId, kCameraProductId, serial});
}

std::unique_ptr<EmulatedDevice> EmulatedDevice::OtherDevice(const std::string& serial,
                                                            std::uint16_t vendorId,
                                                            std::uint16_t productId) {
  return std::make_unique<EmulatedDevice>(DeviceIdentity{vendorId, productId, serial});
}

const DeviceIdentity& EmulatedDevice::Identity() const { return driver_->Identity(); }
const std::string& EmulatedDevice::Path() const { return driver_->Path(); }
bool EmulatedDevice::Plug() { return driver_->Plug(); }
bool EmulatedDevice::Unplug() { return driver_->Unplug(); }
bool EmulatedDevice::IsPlugged() const { return driver_->IsPlugged(); }
std::uint64_t EmulatedDevice::RefusedRequests() const { return driver_->Refused(); }

bool WaitForNoticesHandled(std::uint32_t timeoutMs) {
  return virt::WaitForNoticesDelivered(timeoutMs);
}

}  // namespace lumo::emulator
