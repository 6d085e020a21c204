// The BOS descriptor set: its header and the three device capabilities the
// library knows (USB 2.0 extension, SuperSpeed USB, container ID). Built by
// ParseBos, which touches no OS function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lumo::usb {

struct Usb2ExtensionCapability {  // bDevCapabilityType 2
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bDevCapabilityType = 0;
  std::uint32_t bmAttributes = 0;
};

struct SuperSpeedCapability {  // bDevCapabilityType 3
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bDevCapabilityType = 0;
  std::uint8_t bmAttributes = 0;
  std::uint16_t wSpeedsSupported = 0;
  std::uint8_t bFunctionalitySupport = 0;
  std::uint8_t bU1DevExitLat = 0;
  std::uint16_t wU2DevExitLat = 0;
};

struct ContainerIdCapability {  // bDevCapabilityType 4
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bDevCapabilityType = 0;
  std::uint8_t ContainerID[16] = {};
};

struct BosSet {
  std::unique_ptr<ContainerIdCapability> ContainerId;
  std::unique_ptr<Usb2ExtensionCapability> Usb2Extension;
  std::unique_ptr<SuperSpeedCapability> SuperSpeed;
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint16_t wTotalLength = 0;
  std::uint8_t bNumDeviceCaps = 0;
};

// Parses a BOS descriptor set, reading only inside `size` bytes; a later
// capability of a known type replaces an earlier one.
std::unique_ptr<BosSet> ParseBos(const std::uint8_t* data, std::size_t size);

}  // namespace lumo::usb
