// CLumoUSBDevice: one device of the kernel driver's interface class.
//
// Without opening anything it counts the present interfaces of the class
// and, when its owner gives a window, registers that window for arrival and
// removal notices of the class. OpenByIndex opens the n-th interface, reads
// its descriptors through endpoint-zero requests, builds the descriptor tree,
// makes one interface setting current and picks the first endpoint of each
// kind and direction in it. No locking: calls on one object must not overlap.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "usb/BosSet.h"
#include "usb/ControlEndPoint.h"
#include "usb/UsbConfiguration.h"

namespace lumo::usb {

// The device holds this many configurations; further ones are not read.
constexpr std::size_t kMaxConfigurations = 2;
constexpr std::size_t kTextUnits = 256;
constexpr std::size_t kDriverTextSize = 256;

class CLumoUSBDevice {
 public:
  // `window` (may be null) is registered for device-interface notices of
  // `interfaceClass`; a failed registration is kept in OsError. With
  // `openNow` the device at index 0 is opened at once.
  CLumoUSBDevice(platform::Window window, const platform::Guid& interfaceClass,
                 bool openNow = false);
  // Closes an open device; errors closing it are dropped here.
  ~CLumoUSBDevice();
  CLumoUSBDevice(const CLumoUSBDevice&) = delete;
  CLumoUSBDevice& operator=(const CLumoUSBDevice&) = delete;

  // Number of present interfaces of the class (at most 255); also kept as
  // the device count.
  std::uint8_t CountDevices();
  const platform::Guid& InterfaceGuid() const { return interfaceGuid_; }
  bool HasHandle() const { return driverHandle_ != platform::InvalidHandle(); }
  platform::Handle DriverHandle() const { return driverHandle_; }
  std::uint8_t DeviceCount() const { return deviceCount_; }
  bool HasInterfaceNotification() const { return interfaceNotification_ != nullptr; }
  bool HasHandleNotification() const { return handleNotification_ != nullptr; }

  // Opens the interface at `index` and builds everything. False when the
  // interface cannot be opened (the device stays closed) or when it has no
  // first configuration with a setting (the handle and what was read stay).
  bool OpenByIndex(std::uint8_t index);
  // From now on OpenByIndex opens only the interface whose lower-cased path
  // is `lowerCasePath`: indexes are positions in the driver's list, which
  // shift when another device leaves or arrives between the look-up of an
  // index and the open. An index that names another interface fails the
  // open with OtherDeviceAtIndex set.
  void RequirePath(std::string lowerCasePath) { requiredPath_ = std::move(lowerCasePath); }
  // The last OpenByIndex found another interface than the required one.
  bool OtherDeviceAtIndex = false;
  // Releases the handle, its notification and the whole descriptor tree.
  // Throws std::runtime_error when the OS refuses to release the handle or
  // its notification; nothing else is released then.
  void CloseAll();
  // Releases only the handle notification and the driver handle; throws as
  // CloseAll.
  void CloseHandles();
  // bNumEndpoints of the current setting plus one (position 0 is endpoint
  // zero), at most the number of positions; 0 when closed or missing.
  std::uint8_t EndpointSlotCount() const;
  // Makes configuration `index` current and selects the alternate setting
  // the driver reports. Indices without a configuration change nothing.
  void SelectConfiguration(std::uint8_t index);
  // Makes the first setting with this bAlternateSetting current; none
  // matching changes nothing.
  void SelectAlternateSetting(std::uint8_t alternateSetting);

  const UsbConfiguration* Configuration(std::size_t index) const;
  const BosSet* Bos() const { return bosSet_.get(); }
  const std::array<std::uint8_t, 18>& DeviceDescriptor() const { return deviceDescriptor_; }

  // The current setting and the first endpoint of each kind and direction
  // in it; none while nothing is selected.
  UsbInterfaceSetting* CurrentInterface = nullptr;
  CLumoUSBEndPoint* IsocInEndpoint = nullptr;
  CLumoUSBEndPoint* IsocOutEndpoint = nullptr;
  CLumoUSBEndPoint* BulkInEndpoint = nullptr;
  CLumoUSBEndPoint* BulkOutEndpoint = nullptr;
  std::unique_ptr<CLumoControlEndPoint> ControlEndpoint;
  CLumoUSBEndPoint* InterruptInEndpoint = nullptr;
  CLumoUSBEndPoint* InterruptOutEndpoint = nullptr;
  std::uint16_t LanguageId = 0;
  std::uint32_t OsError = 0;
  std::uint32_t BusStatus = 0;
  std::uint32_t DriverStatus = 0;
  std::uint32_t DriverValueA = 0;
  std::uint32_t DriverValueB = 0;
  std::array<char, kDriverTextSize> DriverTextA{};
  std::array<char, kDriverTextSize> DriverTextB{};
  std::array<char16_t, kTextUnits> Manufacturer{};
  std::array<char16_t, kTextUnits> Product{};
  std::array<char16_t, kTextUnits> SerialNumber{};
  std::string DevicePath;  // the opened interface path, at most 255 characters
  std::uint16_t BcdUsb = 0;
  std::uint16_t VendorId = 0;
  std::uint16_t ProductId = 0;
  std::uint8_t DriverByte = 0;
  std::uint8_t DeviceClass = 0;
  std::uint8_t DeviceSubClass = 0;
  std::uint8_t DeviceProtocol = 0;
  std::uint32_t Ep0PacketSize = 0;
  std::uint16_t BcdDevice = 0;
  std::uint8_t ConfigurationValue = 0;
  std::uint8_t ConfigurationAttributes = 0;
  std::uint8_t MaxPower = 0;
  std::uint8_t InterfaceClass = 0;
  std::uint8_t InterfaceSubClass = 0;
  std::uint8_t InterfaceProtocol = 0;
  bool StateFlag2 = false;
  bool StateFlag4 = false;
  std::uint32_t LastByteCount = 0;
  std::uint8_t InterfaceCount = 0;  // bNumInterfaces of the current configuration
  std::uint8_t SettingCount = 0;    // parsed settings of the current configuration
  std::uint8_t ConfigurationCount = 0;
  std::uint8_t DeviceIndex = 0;
  std::uint8_t ConfigurationIndex = 0;
  std::uint8_t SettingIndex = 0;
  std::uint8_t FirstInterfaceNumber = 0;

 private:
  // Issues a synchronous request whose one buffer serves as input and
  // output; succeeds only when the driver returns exactly `size` bytes.
  bool DriverRequest(std::uint32_t code, void* buffer, std::uint32_t size);
  // GET_DESCRIPTOR on endpoint zero; the data land in `data`.
  bool FetchDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                       std::uint16_t length, std::vector<std::uint8_t>* data,
                       bool keepDriverStatus);
  // Header first, then the length the header gives (bLength, or the 16-bit
  // total length at byte 2).
  bool FetchVariable(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                     std::uint16_t headerLength, bool totalLength, std::vector<std::uint8_t>* data,
                     bool keepDriverStatus);
  void FetchDeviceDescriptor();
  void FetchLanguage();
  void FetchString(std::uint8_t index, std::array<char16_t, kTextUnits>* text);
  void QueryDriver();
  void AssignEndpoints();
  bool OpenInterface(std::uint8_t index);
  std::string requiredPath_;  // empty: any

  platform::Window notificationWindow_ = nullptr;
  platform::Handle driverHandle_ = platform::InvalidHandle();
  // Never withdrawn: only the hot-plug window's device registers one, and
  // that device lives as long as the process.
  platform::Notification interfaceNotification_ = nullptr;
  platform::Notification handleNotification_ = nullptr;
  platform::Guid interfaceGuid_;
  std::uint8_t deviceCount_ = 0;
  std::array<std::uint8_t, 18> deviceDescriptor_{};
  std::array<std::vector<std::uint8_t>, kMaxConfigurations> configurationData_;
  std::vector<std::uint8_t> bosData_;
  std::array<std::unique_ptr<UsbConfiguration>, kMaxConfigurations> configurations_;
  std::unique_ptr<BosSet> bosSet_;
};

}  // namespace lumo::usb
