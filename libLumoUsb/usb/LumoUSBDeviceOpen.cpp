// Opening a device: descriptors, driver queries, the descriptor tree, the
// current setting and its endpoints; and closing it again.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "usb/DevicePath.h"
#include "usb/DriverInterface.h"
#include "usb/LittleEndian.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::usb {

namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorString = 3;
constexpr std::uint8_t kDescriptorBos = 15;
constexpr std::uint32_t kDescriptorTimeoutSeconds = 5;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;

std::uint8_t HighByte(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

}  // namespace

bool CLumoUSBDevice::DriverRequest(std::uint32_t code, void* buffer, std::uint32_t size) {
  if (!HasHandle()) return false;
  std::uint32_t bytes = 0;
  const bool accepted =
      platform::IoControl(driverHandle_, code, buffer, size, buffer, size, &bytes, nullptr);
  LastByteCount = bytes;
  if (!accepted) {
    OsError = platform::LastError();
    return false;
  }
  return bytes == size;
}

bool CLumoUSBDevice::FetchDescriptor(std::uint8_t type, std::uint8_t index,
                                     std::uint16_t languageId, std::uint16_t length,
                                     std::vector<std::uint8_t>* data, bool keepDriverStatus) {
  std::vector<std::uint8_t> request(kTransferRecordSize + length, 0);
  TransferRecord header{};
  const std::uint8_t setup[8] = {0x80,
                                 6,
                                 index,
                                 type,
                                 static_cast<std::uint8_t>(languageId),
                                 HighByte(languageId),
                                 static_cast<std::uint8_t>(length),
                                 HighByte(length)};
  std::memcpy(header.setupPacket, setup, sizeof(setup));
  header.timeoutSeconds = kDescriptorTimeoutSeconds;
  header.dataOffset = kTransferRecordSize;
  header.dataLength = length;
  std::memcpy(request.data(), &header, sizeof(header));
  const bool fetched = DriverRequest(CODE_CONTROL_TRANSFER, request.data(),
                                     static_cast<std::uint32_t>(request.size()));
  std::memcpy(&header, request.data(), sizeof(header));
  BusStatus = header.usbStatus;
  if (keepDriverStatus) DriverStatus = header.systemStatus;
  if (fetched) data->assign(request.begin() + kTransferRecordSize, request.end());
  return fetched;
}

bool CLumoUSBDevice::FetchVariable(std::uint8_t type, std::uint8_t index, std::uint16_t languageId,
                                   std::uint16_t headerLength, bool totalLength,
                                   std::vector<std::uint8_t>* data, bool keepDriverStatus) {
  std::vector<std::uint8_t> head;
  if (!FetchDescriptor(type, index, languageId, headerLength, &head, keepDriverStatus))
    return false;
  const std::uint16_t length = totalLength ? ReadLittle16(&head[2]) : head[0];
  return FetchDescriptor(type, index, languageId, length, data, keepDriverStatus);
}

void CLumoUSBDevice::FetchDeviceDescriptor() {
  deviceDescriptor_.fill(0);
  std::vector<std::uint8_t> data;
  if (!FetchDescriptor(kDescriptorDevice, 0, 0, 18, &data, true)) return;
  std::copy(data.begin(), data.end(), deviceDescriptor_.begin());
  BcdUsb = ReadLittle16(&data[2]);
  DeviceClass = data[4];
  DeviceSubClass = data[5];
  DeviceProtocol = data[6];
  VendorId = ReadLittle16(&data[8]);
  ProductId = ReadLittle16(&data[10]);
  BcdDevice = ReadLittle16(&data[12]);
  ConfigurationCount = data[17];
  const std::uint8_t maxPacket = data[7];
  const std::uint8_t generation = HighByte(BcdUsb);
  if (generation == 1 || generation == 2)
    Ep0PacketSize = maxPacket;
  else  // SuperSpeed gives the size as a power of two; nonsense exponents give 0
    Ep0PacketSize = maxPacket < 32 ? (1u << maxPacket) : 0;
}

void CLumoUSBDevice::FetchLanguage() {
  std::vector<std::uint8_t> table;
  if (!FetchVariable(kDescriptorString, 0, 0, 2, false, &table, false)) return;
  const std::size_t count = table[0] >= 2 ? (table[0] - 2u) / 2u : 0;
  LanguageId = 0;
  for (std::size_t i = 0; i < count && 2 + 2 * i + 1 < table.size(); ++i) {
    const std::uint16_t language = ReadLittle16(&table[2 + 2 * i]);
    if (i == 0) LanguageId = language;
    if (language == kLanguageEnglishUs) LanguageId = kLanguageEnglishUs;
  }
}

void CLumoUSBDevice::FetchString(std::uint8_t index, std::array<char16_t, kTextUnits>* text) {
  std::vector<std::uint8_t> data;
  if (!FetchVariable(kDescriptorString, index, LanguageId, 2, false, &data, true)) return;
  if (data.size() < 2 || data[0] <= 2 || data[1] != kDescriptorString) return;
  std::memset(text->data(), 0, 256);
  const std::size_t bytes = std::min<std::size_t>(data[0] - 2u, data.size() - 2);
  std::memcpy(text->data(), data.data() + 2, bytes);
}

void CLumoUSBDevice::QueryDriver() {
  std::uint8_t byte = 0;
  DriverByte = DriverRequest(CODE_DRIVER_INFO_BYTE, &byte, 1) ? byte : 0;
  DriverTextA.fill(0);
  if (!DriverRequest(CODE_DRIVER_TEXT_A, DriverTextA.data(), kDriverTextSize)) DriverTextA.fill(0);
  DriverTextB.fill(0);
  if (!DriverRequest(CODE_DRIVER_TEXT_B, DriverTextB.data(), kDriverTextSize)) DriverTextB.fill(0);
  std::uint32_t value = 0;
  DriverValueA = DriverRequest(CODE_DRIVER_INFO_A, &value, 4) ? value : 0;
  value = 0;
  DriverValueB = DriverRequest(CODE_DRIVER_INFO_B, &value, 4) ? value : 0;
  std::uint32_t state = 0;
  if (!DriverRequest(CODE_DEVICE_STATE, &state, 4)) state = 0;
  StateFlag2 = state == 2;
  StateFlag4 = state == 4;
}

bool CLumoUSBDevice::OpenInterface(std::uint8_t index) {
  const std::uint8_t count = CountDevices();
  if (count == 0 || index > count - 1) return false;
  platform::InterfaceSet set = platform::OpenInterfaceSet(interfaceGuid_);
  if (set == platform::InvalidInterfaceSet()) {
    OsError = platform::LastError();
    return false;
  }
  std::string path;
  const bool found = platform::InterfacePathAt(set, interfaceGuid_, index, &path);
  if (!found) OsError = platform::LastError();
  platform::CloseInterfaceSet(set);
  // A longer path cannot be held; such a device is not opened.
  if (!found || path.size() > kMaxDevicePathLength) return false;
  if (!requiredPath_.empty() && LowerCase(path) != requiredPath_) {
    OtherDeviceAtIndex = true;
    OsError = platform::kErrorFileNotFound;
    return false;
  }
  DevicePath = path;
  driverHandle_ = platform::OpenDevicePath(path);
  if (!HasHandle()) {
    OsError = platform::LastError();
    return false;
  }
  return true;
}

bool CLumoUSBDevice::OpenByIndex(std::uint8_t index) {
  if (HasHandle()) CloseAll();
  OtherDeviceAtIndex = false;
  if (!OpenInterface(index)) {
    driverHandle_ = platform::InvalidHandle();
    DeviceIndex = 0;
    return false;
  }
  DeviceIndex = index;

  FetchDeviceDescriptor();
  FetchLanguage();
  FetchString(deviceDescriptor_[14], &Manufacturer);
  FetchString(deviceDescriptor_[15], &Product);
  FetchString(deviceDescriptor_[16], &SerialNumber);
  if (HighByte(BcdUsb) == 3) {
    std::vector<std::uint8_t> bos;
    if (FetchVariable(kDescriptorBos, 0, 0, 5, true, &bos, true)) {
      bosData_ = std::move(bos);
      bosSet_ = ParseBos(bosData_.data(), bosData_.size());
    }
  }
  QueryDriver();

  const DescriptorWalk walk = HighByte(BcdUsb) == 2 ? DescriptorWalk::Usb2 : DescriptorWalk::Usb3;
  const std::size_t configurations = std::min<std::size_t>(ConfigurationCount, kMaxConfigurations);
  for (std::size_t i = 0; i < configurations; ++i) {
    std::vector<std::uint8_t> data;
    if (!FetchVariable(kDescriptorConfiguration, static_cast<std::uint8_t>(i), 0, 9, true, &data,
                       true))
      continue;
    configurationData_[i] = std::move(data);
    configurations_[i] = ParseConfiguration(driverHandle_, configurationData_[i].data(),
                                            configurationData_[i].size(), walk);
  }

  ControlEndpoint = std::make_unique<CLumoControlEndPoint>(driverHandle_, nullptr);
  ControlEndpoint->DescriptorLength = 7;
  ControlEndpoint->DescriptorType = 5;
  ControlEndpoint->EndpointAddress = 0;
  ControlEndpoint->EndpointAttributes = 0;
  ControlEndpoint->PacketSize = static_cast<std::uint16_t>(Ep0PacketSize);
  ControlEndpoint->PollInterval = 0;

  if (!configurations_[0] || !configurations_[0]->Interfaces[0]) return false;
  SelectConfiguration(0);

  if (interfaceNotification_) {
    handleNotification_ = platform::RegisterHandleNotices(notificationWindow_, driverHandle_);
    if (!handleNotification_) OsError = platform::LastError();
  }
  return true;
}

void CLumoUSBDevice::SelectConfiguration(std::uint8_t index) {
  if (index >= kMaxConfigurations || !configurations_[index]) return;
  const UsbConfiguration& configuration = *configurations_[index];
  ConfigurationIndex = index;
  ConfigurationValue = configuration.bConfigurationValue;
  ConfigurationAttributes = configuration.bmAttributes;
  MaxPower = configuration.MaxPower;
  InterfaceCount = configuration.bNumInterfaces;
  SettingCount = configuration.InterfaceCount;
  if (configuration.Interfaces[0])
    FirstInterfaceNumber = configuration.Interfaces[0]->bInterfaceNumber;

  std::uint8_t alternate = 0;
  if (!DriverRequest(CODE_GET_ALTERNATE, &alternate, 1)) alternate = 0xFF;
  SelectAlternateSetting(alternate);
  if (const UsbInterfaceSetting* setting = configuration.Interfaces[SettingIndex].get()) {
    InterfaceClass = setting->bInterfaceClass;
    InterfaceSubClass = setting->bInterfaceSubClass;
    InterfaceProtocol = setting->bInterfaceProtocol;
  }
}

void CLumoUSBDevice::SelectAlternateSetting(std::uint8_t alternateSetting) {
  if (ConfigurationIndex >= kMaxConfigurations || !configurations_[ConfigurationIndex]) return;
  const UsbConfiguration& configuration = *configurations_[ConfigurationIndex];
  for (std::size_t i = 0; i < configuration.InterfaceCount; ++i) {
    const UsbInterfaceSetting& setting = *configuration.Interfaces[i];
    if (setting.bAlternateSetting != alternateSetting) continue;
    SettingIndex = static_cast<std::uint8_t>(i);
    InterfaceClass = setting.bInterfaceClass;
    InterfaceSubClass = setting.bInterfaceSubClass;
    InterfaceProtocol = setting.bInterfaceProtocol;
    AssignEndpoints();
    return;
  }
}

void CLumoUSBDevice::AssignEndpoints() {
  if (ConfigurationCount == 0 || InterfaceCount == 0) return;
  UsbInterfaceSetting* setting =
      configurations_[ConfigurationIndex]->Interfaces[SettingIndex].get();
  CurrentInterface = setting;
  setting->Endpoints[0] = ControlEndpoint.get();
  CLumoUSBEndPoint** references[6] = {&IsocInEndpoint,  &BulkInEndpoint,  &InterruptInEndpoint,
                                      &IsocOutEndpoint, &BulkOutEndpoint, &InterruptOutEndpoint};
  for (CLumoUSBEndPoint** reference : references) *reference = nullptr;
  const std::size_t last = std::min<std::size_t>(setting->bNumEndpoints, kEndpointPositions - 1);
  for (std::size_t position = 1; position <= last; ++position) {
    CLumoUSBEndPoint* endpoint = setting->Endpoints[position];
    if (!endpoint) continue;
    endpoint->DirectMode = 1;
    const std::uint8_t kind = endpoint->EndpointAttributes;
    const bool in = (endpoint->EndpointAddress & 0x80) != 0;
    // Isochronous, bulk, interrupt; IN before OUT.
    for (std::size_t slot = 0; slot < 6; ++slot) {
      const std::uint8_t slotKind = static_cast<std::uint8_t>(slot % 3 + 1);
      const bool slotIn = slot < 3;
      if (kind == slotKind && in == slotIn && !*references[slot]) {
        *references[slot] = endpoint;
        break;
      }
    }
  }
}

std::uint8_t CLumoUSBDevice::EndpointSlotCount() const {
  if (!HasHandle() || ConfigurationIndex >= kMaxConfigurations ||
      !configurations_[ConfigurationIndex])
    return 0;
  const UsbInterfaceSetting* setting =
      configurations_[ConfigurationIndex]->Interfaces[SettingIndex].get();
  if (!setting) return 0;
  return static_cast<std::uint8_t>(
      std::min<std::size_t>(setting->bNumEndpoints + 1u, kEndpointPositions));
}

void CLumoUSBDevice::CloseHandles() {
  if (!HasHandle()) return;
  if (handleNotification_ && !platform::UnregisterNotices(handleNotification_)) {
    OsError = platform::LastError();
    throw std::runtime_error("Failed to close the handle notification handle.");
  }
  handleNotification_ = nullptr;
  if (!platform::CloseHandle(driverHandle_)) {
    OsError = platform::LastError();
    throw std::runtime_error("Failed to close handle to driver.");
  }
  driverHandle_ = platform::InvalidHandle();
}

void CLumoUSBDevice::CloseAll() {
  CloseHandles();
  deviceDescriptor_.fill(0);
  bosData_.clear();
  bosSet_.reset();
  for (std::size_t i = 0; i < kMaxConfigurations; ++i) {
    configurationData_[i].clear();
    configurations_[i].reset();
  }
  ControlEndpoint.reset();
  CurrentInterface = nullptr;
  IsocInEndpoint = IsocOutEndpoint = nullptr;
  BulkInEndpoint = BulkOutEndpoint = nullptr;
  InterruptInEndpoint = InterruptOutEndpoint = nullptr;
  deviceCount_ = 0;
  ConfigurationCount = 0;
  InterfaceCount = 0;
  SettingCount = 0;
}

const UsbConfiguration* CLumoUSBDevice::Configuration(std::size_t index) const {
  return index < kMaxConfigurations ? configurations_[index].get() : nullptr;
}

}  // namespace lumo::usb
