#include "usb/BosSet.h"
#include "usb/LittleEndian.h"

#include <cstring>

namespace lumo::usb {

namespace {

constexpr std::size_t kBosHeaderSize = 5;
constexpr std::size_t kUsb2ExtensionSize = 7;
constexpr std::size_t kSuperSpeedSize = 10;
constexpr std::size_t kContainerIdSize = 20;

}  // namespace

std::unique_ptr<BosSet> ParseBos(const std::uint8_t* data, std::size_t size) {
  auto bos = std::make_unique<BosSet>();
  if (!data || size < kBosHeaderSize) return bos;
  bos->bLength = data[0];
  bos->bDescriptorType = data[1];
  bos->wTotalLength = ReadLittle16(data + 2);
  bos->bNumDeviceCaps = data[4];

  long remaining = static_cast<long>(bos->wTotalLength) - bos->bLength;
  std::size_t offset = bos->bLength;
  for (unsigned i = 0; i < bos->bNumDeviceCaps && remaining >= 0; ++i) {
    if (offset + 3 > size) break;  // more capabilities claimed than fetched
    const std::uint8_t* c = data + offset;
    const std::uint8_t length = c[0];
    if (length == 0) break;
    const std::size_t available = size - offset;
    switch (c[2]) {
      case 2:
        if (available >= kUsb2ExtensionSize) {
          auto record = std::make_unique<Usb2ExtensionCapability>();
          record->bLength = c[0];
          record->bDescriptorType = c[1];
          record->bDevCapabilityType = c[2];
          record->bmAttributes = static_cast<std::uint32_t>(c[3]) | (std::uint32_t{c[4]} << 8) |
                                 (std::uint32_t{c[5]} << 16) | (std::uint32_t{c[6]} << 24);
          bos->Usb2Extension = std::move(record);
        }
        break;
      case 3:
        if (available >= kSuperSpeedSize) {
          auto record = std::make_unique<SuperSpeedCapability>();
          record->bLength = c[0];
          record->bDescriptorType = c[1];
          record->bDevCapabilityType = c[2];
          record->bmAttributes = c[3];
          record->wSpeedsSupported = ReadLittle16(c + 4);
          record->bFunctionalitySupport = c[6];
          record->bU1DevExitLat = c[7];
          record->wU2DevExitLat = ReadLittle16(c + 8);
          bos->SuperSpeed = std::move(record);
        }
        break;
      case 4:
        if (available >= kContainerIdSize) {
          auto record = std::make_unique<ContainerIdCapability>();
          record->bLength = c[0];
          record->bDescriptorType = c[1];
          record->bDevCapabilityType = c[2];
          std::memcpy(record->ContainerID, c + 4, sizeof(record->ContainerID));
          bos->ContainerId = std::move(record);
        }
        break;
      default:
        break;
    }
    offset += length;
    remaining -= length;
  }
  return bos;
}

}  // namespace lumo::usb
