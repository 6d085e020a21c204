#include "usb/UsbConfiguration.h"
#include "usb/LittleEndian.h"

#include <algorithm>

#include "usb/BulkEndPoint.h"
#include "usb/ControlEndPoint.h"
#include "usb/IsocEndPoint.h"

namespace lumo::usb {

namespace {

constexpr std::uint8_t kTypeInterface = 4;
constexpr std::uint8_t kTypeEndpoint = 5;
constexpr std::uint8_t kTypeCompanion = 0x30;
constexpr std::size_t kInterfaceDescriptorSize = 9;
constexpr std::size_t kEndpointDescriptorSize = 7;
constexpr std::size_t kCompanionDescriptorSize = 6;
constexpr std::size_t kConfigurationDescriptorSize = 9;
// Descriptors of other kinds stepped over within one setting before each
// further one uses up an endpoint position.
constexpr int kMaxSteppedOver = 11;

std::unique_ptr<CLumoUSBEndPoint> MakeEndpoint(platform::Handle driverHandle,
                                               const EndpointDescriptor& descriptor,
                                               const CompanionDescriptor* companion) {
  switch (descriptor.bmAttributes) {
    case kTransferControl:
      return std::make_unique<CLumoControlEndPoint>(driverHandle, &descriptor);
    case kTransferIsochronous:
      return std::make_unique<CLumoIsocEndPoint>(driverHandle, &descriptor, companion);
    case kTransferBulk:
      return std::make_unique<CLumoBulkEndPoint>(driverHandle, &descriptor, companion);
    case kTransferInterrupt:
      return std::make_unique<CLumoInterruptEndPoint>(driverHandle, &descriptor, companion);
    default:
      return nullptr;
  }
}

}  // namespace

void UsbInterfaceSetting::Own(std::size_t position, std::unique_ptr<CLumoUSBEndPoint> endpoint) {
  if (position == 0 || position >= kEndpointPositions) return;
  Endpoints[position] = endpoint.get();
  owned_[position] = std::move(endpoint);
}

std::unique_ptr<UsbInterfaceSetting> ParseInterfaceSetting(platform::Handle driverHandle,
                                                           const std::uint8_t* data,
                                                           std::size_t size, DescriptorWalk walk) {
  auto setting = std::make_unique<UsbInterfaceSetting>();
  if (!data || size < kInterfaceDescriptorSize) return setting;
  setting->bLength = data[0];
  setting->bDescriptorType = data[1];
  setting->bInterfaceNumber = data[2];
  setting->bAlternateSetting = data[3];
  setting->bNumEndpoints = data[4];
  setting->bInterfaceClass = data[5];
  setting->bInterfaceSubClass = data[6];
  setting->bInterfaceProtocol = data[7];
  setting->iInterface = data[8];
  setting->DescriptorsLength = setting->bLength;
  if (setting->bLength == 0) return setting;

  // Positions 1 to 31 exist; a setting claiming more endpoints gets 31.
  const std::size_t positions =
      std::min<std::size_t>(setting->bNumEndpoints, kEndpointPositions - 1);
  std::size_t offset = setting->bLength;
  std::size_t filled = 0;
  int steppedOver = 0;
  while (filled < positions && offset + 2 <= size) {
    const std::uint8_t length = data[offset];
    const std::uint8_t type = data[offset + 1];
    if (length == 0) break;  // a zero length would never move on
    if (type == kTypeEndpoint) {
      if (offset + kEndpointDescriptorSize > size) break;
      const std::uint8_t* bytes = data + offset;
      const EndpointDescriptor descriptor{
          bytes[0], bytes[1], bytes[2], bytes[3], ReadLittle16(bytes + 4), bytes[6]};
      ++filled;
      setting->DescriptorsLength = static_cast<std::uint16_t>(setting->DescriptorsLength + length);
      offset += length;
      CompanionDescriptor companion;
      bool hasCompanion = false;
      if (walk == DescriptorWalk::Usb3 && offset + 2 <= size &&
          data[offset + 1] == kTypeCompanion && data[offset] != 0) {
        const std::uint8_t companionLength = data[offset];
        if (offset + kCompanionDescriptorSize <= size) {
          const std::uint8_t* c = data + offset;
          companion = CompanionDescriptor{c[0], c[1], c[2], c[3], ReadLittle16(c + 4)};
          hasCompanion = true;
        }
        setting->DescriptorsLength =
            static_cast<std::uint16_t>(setting->DescriptorsLength + companionLength);
        offset += companionLength;
      }
      setting->Own(filled,
                   MakeEndpoint(driverHandle, descriptor, hasCompanion ? &companion : nullptr));
    } else if (steppedOver < kMaxSteppedOver) {
      ++steppedOver;
      setting->DescriptorsLength = static_cast<std::uint16_t>(setting->DescriptorsLength + length);
      offset += length;
    } else {
      // Uses up a position that stays empty. The USB 2 walk stays on the
      // descriptor, the USB 3 walk moves past it.
      ++filled;
      setting->DescriptorsLength = static_cast<std::uint16_t>(setting->DescriptorsLength + length);
      if (walk == DescriptorWalk::Usb3) offset += length;
    }
  }
  return setting;
}

std::unique_ptr<UsbConfiguration> ParseConfiguration(platform::Handle driverHandle,
                                                     const std::uint8_t* data, std::size_t size,
                                                     DescriptorWalk walk) {
  auto configuration = std::make_unique<UsbConfiguration>();
  if (!data || size < kConfigurationDescriptorSize) return configuration;
  configuration->bLength = data[0];
  configuration->bDescriptorType = data[1];
  configuration->wTotalLength = ReadLittle16(data + 2);
  configuration->bNumInterfaces = data[4];
  configuration->bConfigurationValue = data[5];
  configuration->iConfiguration = data[6];
  configuration->bmAttributes = data[7];
  configuration->MaxPower = data[8];

  const std::size_t end = std::min<std::size_t>(size, configuration->wTotalLength);
  std::size_t offset = configuration->bLength;
  std::size_t count = 0;
  while (offset < end && count < kMaxInterfaceSettings && offset + 2 <= end) {
    const std::uint8_t length = data[offset];
    if (length == 0) break;
    if (data[offset + 1] == kTypeInterface) {
      auto setting = ParseInterfaceSetting(driverHandle, data + offset, end - offset, walk);
      const std::size_t advance = setting->DescriptorsLength;
      configuration->Interfaces[count++] = std::move(setting);
      if (advance == 0) break;
      offset += advance;
    } else {
      offset += length;
    }
  }
  configuration->InterfaceCount = static_cast<std::uint8_t>(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t alternates = 0;
    for (std::size_t j = 0; j < count; ++j)
      if (configuration->Interfaces[j]->bInterfaceNumber ==
          configuration->Interfaces[i]->bInterfaceNumber)
        ++alternates;
    configuration->Interfaces[i]->AlternateCount = alternates;
  }
  return configuration;
}

}  // namespace lumo::usb
