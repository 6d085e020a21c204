// The descriptor sets emulated devices present unless a test gives its own:
// a USB 3 camera and a plain USB 2 device.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kTypeDevice = 1;
constexpr std::uint8_t kTypeConfiguration = 2;
constexpr std::uint8_t kTypeString = 3;
constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;
constexpr std::uint8_t kTypeBos = 0x0F;
constexpr std::uint8_t kTypeDeviceCapability = 0x10;
constexpr std::uint8_t kTypeSuperSpeedCompanion = 0x30;
constexpr std::uint8_t kVendorClass = 0xFF;

// String indices used by both default sets.
constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;

std::uint8_t Lo(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
std::uint8_t Hi(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

Bytes DeviceDescriptor(std::uint16_t bcdUsb, std::uint8_t maxPacketSize0, std::uint16_t vendorId,
                       std::uint16_t productId) {
  return {18,
          kTypeDevice,
          Lo(bcdUsb),
          Hi(bcdUsb),
          0x00,
          0x00,
          0x00,
          maxPacketSize0,
          Lo(vendorId),
          Hi(vendorId),
          Lo(productId),
          Hi(productId),
          0x00,
          0x01,  // bcdDevice 1.00
          kManufacturerIndex,
          kProductIndex,
          kSerialIndex,
          1};  // one configuration
}

// Prefixes `body` (interfaces, endpoints...) with a configuration
// descriptor whose total length covers it.
Bytes ConfigurationSet(std::uint8_t interfaces, std::uint8_t maxPower, const Bytes& body) {
  const auto total = static_cast<std::uint16_t>(9 + body.size());
  Bytes set(9 + body.size());
  const std::uint8_t head[9] = {9,       kTypeConfiguration, Lo(total), Hi(total), interfaces,
                                1,     // bConfigurationValue
                                0,     // no string
                                0x80,  // bus powered
                                maxPower};
  std::copy(head, head + 9, set.begin());
  std::copy(body.begin(), body.end(), set.begin() + 9);
  return set;
}

Bytes InterfaceDescriptor(std::uint8_t endpoints) {
  return {9, kTypeInterface, 0, 0, endpoints, kVendorClass, 0x00, 0x00, 0};
}

// A container ID made from the serial, so that every emulated camera has
// its own and the same camera keeps it across runs.
Bytes ContainerId(const std::string& serial) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  Bytes id(16);
  for (std::size_t i = 0; i < id.size(); ++i) {
    for (char c : serial) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    hash = (hash ^ i) * 1099511628211ull;
    id[i] = static_cast<std::uint8_t>(hash >> 56);
  }
  return id;
}

Bytes CameraBos(const std::string& serial) {
  Bytes caps = {// USB 2.0 extension: link power management supported.
                7, kTypeDeviceCapability, 0x02, 0x02, 0x00, 0x00, 0x00,
                // SuperSpeed: full, high and SuperSpeed; functional from full speed;
                // U1 exit within 10 us, U2 exit within 2047 us.
                10, kTypeDeviceCapability, 0x03, 0x00, 0x0E, 0x00, 0x01, 0x0A, 0xFF, 0x07,
                // Container ID.
                20, kTypeDeviceCapability, 0x04, 0x00};
  const Bytes id = ContainerId(serial);
  caps.insert(caps.end(), id.begin(), id.end());
  const auto total = static_cast<std::uint16_t>(5 + caps.size());
  Bytes bos = {5, kTypeBos, Lo(total), Hi(total), 3};
  bos.insert(bos.end(), caps.begin(), caps.end());
  return bos;
}

}  // namespace

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  // bLength is one byte: longer texts are cut to the 126 characters that fit.
  const std::size_t chars = std::min<std::size_t>(text.size(), 126);
  Bytes descriptor = {static_cast<std::uint8_t>(2 + 2 * chars), kTypeString};
  for (std::size_t i = 0; i < chars; ++i) {
    descriptor.push_back(static_cast<std::uint8_t>(text[i]));
    descriptor.push_back(0);
  }
  return descriptor;
}

std::vector<std::uint8_t> LanguageTableDescriptor() { return {4, kTypeString, 0x09, 0x04}; }

DescriptorSet CameraDescriptors(const std::string& serial, std::uint16_t vendorId,
                                std::uint16_t productId) {
  DescriptorSet set;
  set.device = DeviceDescriptor(0x0300, 9, vendorId, productId);  // 2^9 = 512-byte endpoint zero
  Bytes body = InterfaceDescriptor(1);
  const Bytes bulkIn = {7, kTypeEndpoint, 0x81, 0x02, Lo(1024), Hi(1024), 0};
  const Bytes companion = {6, kTypeSuperSpeedCompanion, 15, 0x00, 0x00, 0x00};  // bursts of 16
  body.insert(body.end(), bulkIn.begin(), bulkIn.end());
  body.insert(body.end(), companion.begin(), companion.end());
  set.configurations[0] = ConfigurationSet(1, 112, body);  // 896 mA in 8 mA units
  set.bos = CameraBos(serial);
  set.strings[0] = LanguageTableDescriptor();
  set.strings[kManufacturerIndex] = StringDescriptor("Lumo Imaging");
  set.strings[kProductIndex] = StringDescriptor("Lumo USB3 Camera");
  set.strings[kSerialIndex] = StringDescriptor(serial);
  return set;
}

DescriptorSet PlainUsb2Descriptors(const DeviceIdentity& identity) {
  DescriptorSet set;
  set.device = DeviceDescriptor(0x0200, 64, identity.vendorId, identity.productId);
  set.configurations[0] = ConfigurationSet(1, 50, InterfaceDescriptor(0));  // 100 mA in 2 mA units
  set.strings[0] = LanguageTableDescriptor();
  set.strings[kManufacturerIndex] = StringDescriptor("Lumo Imaging");
  set.strings[kProductIndex] = StringDescriptor("Lumo USB Device");
  set.strings[kSerialIndex] = StringDescriptor(identity.serial);
  return set;
}

}  // namespace lumo::emulator
