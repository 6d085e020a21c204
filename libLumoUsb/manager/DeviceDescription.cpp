// LumoUsbManager::DescribeDevice: a read-only copy of what an open camera's
// USB device object learnt when it was opened.
#include <cstring>
#include <mutex>

#include "lumo/DeviceDescription.h"
#include "lumo/LumoUsbManager.h"
#include "manager/ManagerState.h"

namespace {

using lumo::usb::CLumoUSBDevice;

template <std::size_t N>
void CopyText(char (&target)[N], const char* text, std::size_t length) {
  const std::size_t n = length < N - 1 ? length : N - 1;
  std::memcpy(target, text, n);
  target[n] = '\0';
}

// Characters before the first NUL, or the whole array without one.
template <std::size_t N>
std::size_t TextLength(const std::array<char, N>& text) {
  const void* end = std::memchr(text.data(), 0, N);
  return end ? static_cast<std::size_t>(static_cast<const char*>(end) - text.data()) : N;
}

// UTF-16 (NUL-terminated within its array) to UTF-8; an unpaired surrogate
// becomes U+FFFD. Stops before a character that would not fit.
template <std::size_t N, std::size_t M>
void CopyUtf16(char (&target)[N], const std::array<char16_t, M>& text) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < M && text[i] != 0; ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < M && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    char bytes[4];
    std::size_t length = 0;
    if (code < 0x80) {
      bytes[length++] = static_cast<char>(code);
    } else if (code < 0x800) {
      bytes[length++] = static_cast<char>(0xC0 | (code >> 6));
      bytes[length++] = static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      bytes[length++] = static_cast<char>(0xE0 | (code >> 12));
      bytes[length++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[length++] = static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes[length++] = static_cast<char>(0xF0 | (code >> 18));
      bytes[length++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[length++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[length++] = static_cast<char>(0x80 | (code & 0x3F));
    }
    if (out + length > N - 1) break;
    std::memcpy(target + out, bytes, length);
    out += length;
  }
  target[out] = '\0';
}

// wMaxPacketSize as the endpoint descriptor gave it: the endpoint object
// keeps the bytes per service interval (size times the high-bandwidth
// multiplier, times the burst and, isochronous, the companion's
// multiplier).
std::uint16_t DescriptorPacketSize(const lumo::usb::CLumoUSBEndPoint& endpoint) {
  std::uint32_t size = endpoint.PacketSize;
  const std::uint32_t multiplier = endpoint.PacketMultiplier ? endpoint.PacketMultiplier : 1;
  size /= multiplier;
  if (endpoint.CompanionLength != 0) {
    size /= endpoint.MaxBurst + 1u;
    if ((endpoint.EndpointAttributes & 3) == 1) size /= (endpoint.CompanionAttributes & 3) + 1u;
  }
  return static_cast<std::uint16_t>((size & 0x7FF) | ((multiplier - 1) << 11));
}

// A device reports the endpoint sizes of the speed it runs at: endpoint zero
// of 512 bytes only at SuperSpeed, bulk endpoints of 1024, 512 or at most 64
// bytes at SuperSpeed, high and full speed, and endpoint zero of 8 bytes
// without bulk endpoints hints at a low-speed device.
std::uint8_t SpeedOf(const CLumoUSBDevice& device, const LumoDeviceDescription& description) {
  if (device.BcdUsb >= 0x0300 && device.Ep0PacketSize == 512) return LUMO_SPEED_SUPER;
  for (std::uint8_t i = 0; i < description.endpointCount; ++i) {
    const LumoEndpointDescription& endpoint = description.endpoints[i];
    if ((endpoint.attributes & 3) != 2) continue;
    const std::uint16_t size = endpoint.maxPacketSize & 0x7FF;
    if (size == 1024) return LUMO_SPEED_SUPER;
    if (size == 512) return LUMO_SPEED_HIGH;
    if (size <= 64) return LUMO_SPEED_FULL;
  }
  if (device.BcdUsb < 0x0200 && device.Ep0PacketSize == 8) return LUMO_SPEED_LOW;
  return LUMO_SPEED_UNKNOWN;
}

void Describe(const CLumoUSBDevice& device, LumoDeviceDescription* description) {
  LumoDeviceDescription& d = *description;
  d.vendorId = device.VendorId;
  d.productId = device.ProductId;
  d.bcdUSB = device.BcdUsb;
  d.bcdDevice = device.BcdDevice;
  d.deviceClass = device.DeviceClass;
  d.deviceSubClass = device.DeviceSubClass;
  d.deviceProtocol = device.DeviceProtocol;
  d.ep0PacketSize = device.Ep0PacketSize;
  d.configurationCount = device.ConfigurationCount;
  d.configurationValue = device.ConfigurationValue;
  d.configurationAttributes = device.ConfigurationAttributes;
  d.maxPower = device.MaxPower;
  d.interfaceClass = device.InterfaceClass;
  d.interfaceSubClass = device.InterfaceSubClass;
  d.interfaceProtocol = device.InterfaceProtocol;
  d.driverByte = device.DriverByte;
  d.driverValueA = device.DriverValueA;
  d.driverValueB = device.DriverValueB;
  d.deviceState = device.StateFlag2 ? 2u : (device.StateFlag4 ? 4u : 0u);

  if (const lumo::usb::UsbInterfaceSetting* setting = device.CurrentInterface) {
    d.interfaceNumber = setting->bInterfaceNumber;
    d.alternateSetting = setting->bAlternateSetting;
    const std::size_t slots = device.EndpointSlotCount();
    for (std::size_t position = 1; position < slots; ++position) {
      const lumo::usb::CLumoUSBEndPoint* endpoint = setting->Endpoints[position];
      if (!endpoint || d.endpointCount >= LUMO_DESCRIPTION_MAX_ENDPOINTS) continue;
      LumoEndpointDescription& e = d.endpoints[d.endpointCount++];
      e.address = endpoint->EndpointAddress;
      e.attributes = endpoint->EndpointAttributes;
      e.maxPacketSize = DescriptorPacketSize(*endpoint);
      e.interval = endpoint->PollInterval;
      e.maxBurst = endpoint->MaxBurst;
      e.bytesPerInterval = endpoint->BytesPerInterval;
    }
  }
  if (const lumo::usb::BosSet* bos = device.Bos()) {
    if (bos->Usb2Extension) {
      d.bosCapabilities |= LUMO_BOS_USB2_EXTENSION;
      d.usb2ExtensionAttributes = bos->Usb2Extension->bmAttributes;
    }
    if (bos->SuperSpeed) {
      d.bosCapabilities |= LUMO_BOS_SUPERSPEED;
      d.superSpeedSpeeds = bos->SuperSpeed->wSpeedsSupported;
      d.superSpeedAttributes = bos->SuperSpeed->bmAttributes;
      d.superSpeedFunctionality = bos->SuperSpeed->bFunctionalitySupport;
    }
    if (bos->ContainerId) {
      d.bosCapabilities |= LUMO_BOS_CONTAINER_ID;
      std::memcpy(d.containerId, bos->ContainerId->ContainerID, sizeof(d.containerId));
    }
  }
  d.speed = SpeedOf(device, d);

  CopyText(d.devicePath, device.DevicePath.data(), device.DevicePath.size());
  CopyText(d.driverTextA, device.DriverTextA.data(), TextLength(device.DriverTextA));
  CopyText(d.driverTextB, device.DriverTextB.data(), TextLength(device.DriverTextB));
  CopyUtf16(d.manufacturer, device.Manufacturer);
  CopyUtf16(d.product, device.Product);
  CopyUtf16(d.serialNumber, device.SerialNumber);
}

}  // namespace

bool LumoUsbManager::DescribeDevice(void* handle, LumoDeviceDescription* description) {
  if (!description) return false;
  auto& state = lumo::manager::StateOf(*this);
  const lumo::manager::CameraRef camera = lumo::manager::CameraFor(state, handle);
  if (!camera || !camera->IsOpen() || camera->IsRemoved()) return false;
  lumo::camera::CameraState& cameraState = camera->State();
  // Open, close and re-attach rebuild the device object under this lock.
  std::lock_guard<std::mutex> lifecycle(cameraState.lifecycleLock);
  if (!cameraState.usbDevice || !cameraState.usbDevice->HasHandle()) return false;
  std::memset(description, 0, sizeof(*description));
  Describe(*cameraState.usbDevice, description);
  return true;
}
