// An emulated device: its descriptors and endpoint-zero state, the queues
// of its other endpoints, and the driver that serves its interface, plugged
// into the virtual backend under the path Windows would report.
#include "lumo/emulator/EmulatedDevice.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "ControlRequests.h"
#include "DeviceGate.h"
#include "DriverWire.h"
#include "EmulatedDriver.h"
#include "EndpointQueues.h"
#include "StreamEngine.h"
#include "lumo/emulator/CameraFirmware.h"
#include "lumo/emulator/CameraStream.h"
#include "manager/HotplugQueue.h"
#include "platform/virtual/VirtualBus.h"

namespace lumo::emulator {

namespace virt = platform::virt;

class EmulatedDevice::Parts {
 public:
  Parts(DeviceIdentity deviceIdentity, DescriptorSet descriptors)
      : identity(std::move(deviceIdentity)),
        path(DevicePathFor(identity)),
        backstagePath("lumo-backstage#" + path),
        control(std::move(descriptors)),
        driver(control, queues, gate) {}

  bool Plug(bool backstage) {
    std::lock_guard<std::mutex> lock(plugMutex);
    if (plugged) return false;
    control.Reset();  // a device comes up in its first configuration
    pluggedPath = backstage ? backstagePath : path;
    plugged =
        virt::Plug(backstage ? wire::kBackstageClass : wire::kInterfaceClass, pluggedPath, &driver);
    return plugged;
  }

  bool Unplug() {
    std::lock_guard<std::mutex> lock(plugMutex);
    if (!plugged) return false;
    // The bus's unplug waits for every thread inside the driver; those a
    // slow device keeps waiting are let go first.
    gate.BeginUnplug();
    // Once this returns no thread is inside the driver and the backend has
    // failed every outstanding request; what the queues hold is stale.
    virt::Unplug(pluggedPath);
    queues.Clear();
    firmware->DiscardOutgoing();
    stream->Engine().DeviceGone();
    gate.EndUnplug();
    plugged = false;
    return true;
  }

  bool IsPlugged() {
    std::lock_guard<std::mutex> lock(plugMutex);
    return plugged;
  }

  const DeviceIdentity identity;
  const std::string path;
  // The path under the emulator's own class: distinct, since the bus knows
  // each path once whatever its class, and a bridge may present the device
  // elsewhere under `path`.
  const std::string backstagePath;
  std::string pluggedPath;  // under plugMutex
  // Declared before `control`, which may hold a handler forwarding to it.
  const std::unique_ptr<CameraFirmware> firmware = std::make_unique<CameraFirmware>();
  ControlRequests control;
  EndpointQueues queues;
  DeviceGate gate;
  EmulatedDriver driver;
  // Declared last, so that its thread stops before anything it uses goes.
  // The unplug fault unplugs from that thread.
  const std::unique_ptr<CameraStream> stream =
      std::make_unique<CameraStream>(std::make_unique<StreamEngine>(queues, [this] { Unplug(); }));

 private:
  std::mutex plugMutex;  // guards plugged and serialises plugging
  bool plugged = false;
};

std::string DevicePathFor(const DeviceIdentity& identity) {
  char ids[32];
  std::snprintf(ids, sizeof(ids), "VID_%04X&PID_%04X", static_cast<unsigned>(identity.vendorId),
                static_cast<unsigned>(identity.productId));
  return std::string("\\\\?\\USB#") + ids + "#" + identity.serial +
         "#{ae18aa60-7f6a-11d4-97dd-00010229b959}";
}

EmulatedDevice::EmulatedDevice(DeviceIdentity identity, DescriptorSet descriptors)
    : parts_(std::make_unique<Parts>(std::move(identity), std::move(descriptors))) {}

EmulatedDevice::EmulatedDevice(DeviceIdentity identity)
    : EmulatedDevice(identity, PlainUsb2Descriptors(identity)) {}

EmulatedDevice::~EmulatedDevice() { parts_->Unplug(); }

std::unique_ptr<EmulatedDevice> EmulatedDevice::Camera(const std::string& serial) {
  auto camera = std::make_unique<EmulatedDevice>(
      DeviceIdentity{kCameraVendorId, kCameraProductId, serial}, CameraDescriptors(serial));
  camera->UseCameraFirmware();
  camera->Firmware().SetStreamHandler(camera->Stream().Handler());
  return camera;
}

std::unique_ptr<EmulatedDevice> EmulatedDevice::OtherDevice(const std::string& serial,
                                                            std::uint16_t vendorId,
                                                            std::uint16_t productId) {
  return std::make_unique<EmulatedDevice>(DeviceIdentity{vendorId, productId, serial});
}

const DeviceIdentity& EmulatedDevice::Identity() const { return parts_->identity; }
const std::string& EmulatedDevice::Path() const { return parts_->path; }
bool EmulatedDevice::Plug() { return parts_->Plug(false); }

bool EmulatedDevice::PlugBackstage() { return parts_->Plug(true); }

const std::string& EmulatedDevice::BackstagePath() const { return parts_->backstagePath; }
bool EmulatedDevice::Unplug() { return parts_->Unplug(); }
bool EmulatedDevice::IsPlugged() const { return parts_->IsPlugged(); }

void EmulatedDevice::SetDescriptors(DescriptorSet descriptors) {
  parts_->control.SetDescriptors(std::move(descriptors));
}
DescriptorSet EmulatedDevice::Descriptors() const { return parts_->control.Descriptors(); }
void EmulatedDevice::SetVendorRequestHandler(std::unique_ptr<VendorRequestHandler> handler) {
  parts_->control.SetVendorHandler(std::move(handler));
}
CameraFirmware& EmulatedDevice::Firmware() { return *parts_->firmware; }
CameraStream& EmulatedDevice::Stream() { return *parts_->stream; }
void EmulatedDevice::UseCameraFirmware() {
  parts_->control.SetVendorHandler(parts_->firmware->Handler());
}
std::uint8_t EmulatedDevice::CurrentConfiguration() const {
  return parts_->control.Configuration();
}
std::uint8_t EmulatedDevice::CurrentAlternate(std::uint8_t interfaceNumber) const {
  return parts_->control.Alternate(interfaceNumber);
}

void EmulatedDevice::PushInData(std::uint8_t endpoint, std::vector<std::uint8_t> block) {
  parts_->queues.PushIn(endpoint, std::move(block));
}
std::size_t EmulatedDevice::QueuedInBytes(std::uint8_t endpoint) const {
  return parts_->queues.QueuedBytes(endpoint);
}
std::vector<std::vector<std::uint8_t>> EmulatedDevice::TakeOutData(std::uint8_t endpoint) {
  return parts_->queues.TakeOut(endpoint);
}
std::size_t EmulatedDevice::PendingTransfers(std::uint8_t endpoint) const {
  return parts_->queues.Pending(endpoint);
}
std::uint32_t EmulatedDevice::TransferLength(std::uint8_t endpoint) const {
  return parts_->queues.TransferLength(endpoint);
}

std::uint64_t EmulatedDevice::RefusedRequests() const { return parts_->driver.Refused(); }
std::uint64_t EmulatedDevice::StalledRequests() const { return parts_->driver.Stalled(); }
std::uint64_t EmulatedDevice::AbortedTransfers() const { return parts_->driver.Aborted(); }

void EmulatedDevice::SetSlowRequests(std::chrono::milliseconds delay) {
  parts_->gate.SetDelay(delay);
}
std::uint64_t EmulatedDevice::DelayedRequests() const { return parts_->gate.Delayed(); }
void EmulatedDevice::RefuseOpens(std::chrono::milliseconds duration, std::uint32_t error) {
  parts_->gate.RefuseFor(duration, error);
}
void EmulatedDevice::RefuseNextOpens(std::uint32_t count, std::uint32_t error) {
  parts_->gate.RefuseNext(count, error);
}
std::uint64_t EmulatedDevice::RefusedOpens() const { return parts_->gate.Refused(); }

bool WaitForNoticesHandled(std::uint32_t timeoutMs) {
  // Delivered to the managers' windows, then handled to their end by the
  // managers' hot-plug work (re-attach, removal), which runs beside the
  // pump thread.
  const auto start = std::chrono::steady_clock::now();
  if (!virt::WaitForNoticesDelivered(timeoutMs)) return false;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  const auto left = spent >= timeoutMs ? 0 : timeoutMs - static_cast<std::uint32_t>(spent);
  return manager::WaitForHotplugWork(left);
}

}  // namespace lumo::emulator
