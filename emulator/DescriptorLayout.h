// What a device's configuration descriptor sets say about its endpoints:
// which configurations exist, which alternate settings each interface has,
// and which endpoints each setting holds. The device side uses it to accept
// SET_CONFIGURATION / SET_INTERFACE and to know the endpoints that exist.
#pragma once

#include <cstdint>
#include <vector>

#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

struct EndpointLayout {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0;  // transfer type in bits 0-1
  std::uint16_t maxPacketSize = 0;

  bool IsIn() const { return (address & 0x80) != 0; }
  bool IsIsochronous() const { return (attributes & 0x03) == 1; }
};

struct InterfaceSettingLayout {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::vector<EndpointLayout> endpoints;
};

struct ConfigurationLayout {
  std::uint8_t value = 0;  // bConfigurationValue
  std::vector<InterfaceSettingLayout> settings;

  const InterfaceSettingLayout* Setting(std::uint8_t interfaceNumber, std::uint8_t alternate) const;
  // Interface numbers in the order their first setting appears.
  std::vector<std::uint8_t> InterfaceNumbers() const;
};

// Reads every configuration set of `descriptors`. Descriptors whose length
// is below 2 or runs past the set end the walk of that set, so sets with
// wrong lengths yield what can be read before the fault.
std::vector<ConfigurationLayout> ReadLayouts(const DescriptorSet& descriptors);

}  // namespace lumo::emulator
