// Emulated devices of the camera driver's interface class.
//
// An EmulatedDevice plugs into the library's virtual backend and plays both
// the kernel driver's side and the device's own. Users develop and test
// camera applications with it when no camera is at hand:
//
//   auto camera = lumo::emulator::EmulatedDevice::Camera("LUMO0001");
//   camera->Plug();
//   LumoUsbManager manager;  // finds the camera
//
// Destroying a device unplugs it.
//
// What the emulated driver answers:
//   - descriptors and the standard requests on endpoint zero from the
//     device's DescriptorSet; vendor requests go to its VendorRequestHandler
//     (none installed: they stall). Cameras made with Camera() come with
//     their CameraFirmware installed as that handler (CameraFirmware.h),
//     with their CameraStream in its stream slot (CameraStream.h);
//   - transfers on the other endpoints stay pending until data for them is
//     pushed or the image stream serves them (IN) or are taken at once and
//     recorded (OUT);
//   - the driver's information codes with the constants below;
//   - any other control code is refused with ERROR_INVALID_FUNCTION (1).
// A stalled request finishes with ERROR_GEN_FAILURE (31), with kStallUsbStatus
// in the header's USB status word and kStallSystemStatus in its system status.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lumo/Export.h"

namespace lumo::emulator {

constexpr std::uint16_t kCameraVendorId = 0x04B4;
constexpr std::uint16_t kCameraProductId = 0x00F1;

// Answers of the driver's information codes.
constexpr std::uint32_t kDriverValueA = 0x01050000;  // driver version 1.5.0.0
constexpr std::uint32_t kDriverValueB = 0x00000300;  // USB stack version 3.00
constexpr std::uint8_t kDriverByte = 0x01;           // driver interface revision
constexpr char kDriverTextA[] = "Lumo emulated USB driver";
constexpr char kDriverTextB[] = "lumoemu.sys";
constexpr std::uint32_t kDeviceStateValue = 2;  // the device is started
// Status words written into the header of a stalled request.
constexpr std::uint32_t kStallUsbStatus = 0xC0000004;     // endpoint stalled
constexpr std::uint32_t kStallSystemStatus = 0xC0000001;  // request unsuccessful

struct DeviceIdentity {
  std::uint16_t vendorId = kCameraVendorId;
  std::uint16_t productId = kCameraProductId;
  std::string serial;
};

// The descriptors a device presents, as raw bytes exactly as they go on the
// wire. Nothing is checked or repaired, so tests can present inconsistent
// lengths on purpose.
struct DescriptorSet {
  std::vector<std::uint8_t> device;
  // Whole configuration descriptor sets (configuration, interfaces,
  // endpoints, class-specific descriptors), by configuration index.
  std::map<std::uint8_t, std::vector<std::uint8_t>> configurations;
  // The BOS descriptor set; empty for a device without one.
  std::vector<std::uint8_t> bos;
  // Whole string descriptors by index; index 0 is the language table.
  std::map<std::uint8_t, std::vector<std::uint8_t>> strings;
};

// A string descriptor holding `text` (ASCII) in UTF-16LE.
LUMO_EMULATOR_API std::vector<std::uint8_t> StringDescriptor(const std::string& text);
// The language table naming US English (0x0409) only.
LUMO_EMULATOR_API std::vector<std::uint8_t> LanguageTableDescriptor();

// A USB 3 camera: bcdUSB 0x0300, endpoint zero of 512 bytes, one
// configuration with one vendor-class interface holding bulk IN 0x81
// (1024 bytes, bursts of 16) and a BOS set with USB 2.0 extension,
// SuperSpeed and container ID capabilities. Strings 1, 2 and 3 are the
// manufacturer, the product and `serial`.
LUMO_EMULATOR_API DescriptorSet CameraDescriptors(const std::string& serial,
                                                  std::uint16_t vendorId = kCameraVendorId,
                                                  std::uint16_t productId = kCameraProductId);
// A plain USB 2 device with the identity's ids and serial: one
// configuration, one vendor-class interface without endpoints, no BOS.
LUMO_EMULATOR_API DescriptorSet PlainUsb2Descriptors(const DeviceIdentity& identity);

// The setup packet of an endpoint-zero request.
struct SetupPacket {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

// Plays the device's firmware for vendor requests (request type bits 0x40).
// Called on the thread that issued the request, one request at a time per
// device; it must not block nor call back into its device.
class VendorRequestHandler {
 public:
  virtual ~VendorRequestHandler() = default;
  // For an OUT request `data` holds the data stage; for an IN request the
  // handler fills it (at most setup.length bytes are returned). Returns
  // false to stall the request.
  virtual bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) = 0;
  // Called once the host has the answer of a request that was not stalled,
  // still on the requesting thread. What the firmware does in response to a
  // request (streaming after the start request) begins here, so that it
  // can never overtake the request's own completion.
  virtual void OnAnswered(const SetupPacket& /*setup*/) {}
};

// The interface path Windows reports for a device of the driver's class:
// \\?\USB#VID_xxxx&PID_xxxx#<serial>#{ae18aa60-7f6a-11d4-97dd-00010229b959}
LUMO_EMULATOR_API std::string DevicePathFor(const DeviceIdentity& identity);

class CameraFirmware;
class CameraStream;

class LUMO_EMULATOR_API EmulatedDevice {
 public:
  // A device presenting `descriptors`.
  EmulatedDevice(DeviceIdentity identity, DescriptorSet descriptors);
  // A device presenting PlainUsb2Descriptors(identity).
  explicit EmulatedDevice(DeviceIdentity identity);
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // A camera with the given serial number, its firmware installed.
  static std::unique_ptr<EmulatedDevice> Camera(const std::string& serial);
  // A device of the same driver that is not a camera (a plain USB 2 device).
  static std::unique_ptr<EmulatedDevice> OtherDevice(const std::string& serial,
                                                     std::uint16_t vendorId = 0x04B4,
                                                     std::uint16_t productId = 0x00F3);

  const DeviceIdentity& Identity() const;
  // The interface path, in the mixed case Windows reports.
  const std::string& Path() const;

  // Makes the device present and notifies registered windows. False if it
  // is plugged already or another device has the same path. A device comes
  // up in its first configuration with alternate setting 0 everywhere.
  bool Plug();
  // Makes the device present under an interface class of the emulator's
  // own, which the library does not enumerate: it is then reached only by
  // its path, by a bridge that presents it on another bus (the usbfs bridge
  // that stands it in front of libusb). No window is told of it.
  bool PlugBackstage();
  // The path the device has while plugged backstage.
  const std::string& BackstagePath() const;
  // Removes the device: its pending requests fail, new ones are refused.
  bool Unplug();
  bool IsPlugged() const;

  // ---- device side

  // Replaces the descriptors; later requests see the new ones.
  void SetDescriptors(DescriptorSet descriptors);
  DescriptorSet Descriptors() const;
  // Installs the firmware's vendor-request handler; nullptr restores the
  // default, which stalls every vendor request.
  void SetVendorRequestHandler(std::unique_ptr<VendorRequestHandler> handler);
  // The device's camera firmware (command channel, registers, faults). Every
  // device has one, living as long as the device; it serves vendor requests
  // while installed: from the start on Camera() devices, after
  // UseCameraFirmware() on others. Unplugging discards the bytes it had not
  // sent yet.
  CameraFirmware& Firmware();
  // Installs Firmware() as the vendor-request handler.
  void UseCameraFirmware();
  // The device's image stream (CameraStream.h). Every device has one, living
  // as long as the device; it serves the start request while it sits in the
  // firmware's stream slot (from the start on Camera() devices) and then
  // serves the IN requests on endpoint 0x81 (blocks pushed there meanwhile
  // compete with it for them).
  CameraStream& Stream();
  // The selected configuration value and the alternate setting of an interface.
  std::uint8_t CurrentConfiguration() const;
  std::uint8_t CurrentAlternate(std::uint8_t interfaceNumber) const;

  // ---- endpoint data
  //
  // The source of an IN endpoint pushes blocks of bytes; each ends like a
  // transfer ending in a short packet. Pending IN requests take them in
  // FIFO order: a request takes the rest of the front block up to its
  // length, so a shorter block completes it short and a longer block
  // continues into the next request. Blocks wait while no request is
  // pending. Callable from any thread.
  void PushInData(std::uint8_t endpoint, std::vector<std::uint8_t> block);
  // Bytes of IN blocks not yet taken by a request.
  std::size_t QueuedInBytes(std::uint8_t endpoint) const;
  // The data of the OUT requests accepted so far on `endpoint`, one entry
  // per request, oldest first; taking them empties the record.
  std::vector<std::vector<std::uint8_t>> TakeOutData(std::uint8_t endpoint);
  // Requests waiting on `endpoint` for data.
  std::size_t PendingTransfers(std::uint8_t endpoint) const;
  // The length last set for `endpoint` with the transfer-length code (0: none).
  std::uint32_t TransferLength(std::uint8_t endpoint) const;

  // ---- faults of opening and answering
  //
  // Callable from any thread at any time; they hold across unplugging and
  // plugging again.

  // A device slow to answer, as a camera is while it boots: every
  // synchronous request and every open waits `delay` on the requesting
  // thread before it is served; overlapped requests are not held. A waiting
  // request goes once the delay last set has passed since it arrived, so a
  // shorter delay or zero lets it go early. Unplugging ends every wait: a
  // request then fails with ERROR_GEN_FAILURE (31), an open with
  // ERROR_FILE_NOT_FOUND (2), as they do on a device that is gone.
  void SetSlowRequests(std::chrono::milliseconds delay);
  // Requests and opens that were held by SetSlowRequests.
  std::uint64_t DelayedRequests() const;
  // For `duration` from now every open fails with `error` (by default
  // ERROR_ACCESS_DENIED, 5; 0 refuses nothing) while the device stays
  // present and enumerated; zero ends it.
  void RefuseOpens(std::chrono::milliseconds duration, std::uint32_t error = 5);
  // The next `count` opens fail with `error`; zero ends it. While RefuseOpens
  // holds, it refuses first and these wait their turn.
  void RefuseNextOpens(std::uint32_t count, std::uint32_t error = 5);
  // Opens refused by RefuseOpens or RefuseNextOpens.
  std::uint64_t RefusedOpens() const;

  // ---- counters

  // Requests the device refused because it does not serve their code.
  std::uint64_t RefusedRequests() const;
  // Requests that ended in a stall.
  std::uint64_t StalledRequests() const;
  // Requests completed with ERROR_OPERATION_ABORTED by an endpoint abort.
  std::uint64_t AbortedTransfers() const;

 private:
  class Parts;
  std::unique_ptr<Parts> parts_;
};

// Waits until every device-change notice sent so far has been handled by
// the window that receives it, and by the library to its end (a camera
// re-attached or dropped). False after `timeoutMs`.
LUMO_EMULATOR_API bool WaitForNoticesHandled(std::uint32_t timeoutMs);

}  // namespace lumo::emulator
