// The descriptor tree of a configuration: a UsbConfiguration holds its
// interface settings in table order, each UsbInterfaceSetting its endpoint
// objects in endpoint order. Built from the raw configuration descriptor set
// by ParseConfiguration, which touches no OS function.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "usb/EndPoint.h"

namespace lumo::usb {

// USB 2 devices (bcdUSB high byte 2) are walked without SuperSpeed endpoint
// companions; every other device with them.
enum class DescriptorWalk { Usb2, Usb3 };

constexpr std::size_t kEndpointPositions = 32;
constexpr std::size_t kMaxInterfaceSettings = 255;

class UsbInterfaceSetting {
 public:
  // Position 0 refers to the device's control endpoint once the setting has
  // been current; positions 1 to bNumEndpoints hold the setting's endpoints
  // (empty where the descriptor named no transfer type this layer knows).
  std::array<CLumoUSBEndPoint*, kEndpointPositions> Endpoints{};
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint8_t bInterfaceNumber = 0;
  std::uint8_t bAlternateSetting = 0;
  std::uint8_t bNumEndpoints = 0;
  std::uint8_t bInterfaceClass = 0;
  std::uint8_t bInterfaceSubClass = 0;
  std::uint8_t bInterfaceProtocol = 0;
  std::uint8_t iInterface = 0;
  // Settings of the configuration with this bInterfaceNumber, itself included.
  std::uint8_t AlternateCount = 0;
  // Bytes of the descriptors that belong to this setting.
  std::uint16_t DescriptorsLength = 0;

  // Takes ownership of the endpoint for position `position` (1 and up).
  void Own(std::size_t position, std::unique_ptr<CLumoUSBEndPoint> endpoint);

 private:
  std::array<std::unique_ptr<CLumoUSBEndPoint>, kEndpointPositions> owned_;
};

class UsbConfiguration {
 public:
  std::array<std::unique_ptr<UsbInterfaceSetting>, kMaxInterfaceSettings> Interfaces;
  std::uint8_t bLength = 0;
  std::uint8_t bDescriptorType = 0;
  std::uint16_t wTotalLength = 0;
  std::uint8_t bNumInterfaces = 0;
  std::uint8_t bConfigurationValue = 0;
  std::uint8_t iConfiguration = 0;
  std::uint8_t bmAttributes = 0;
  std::uint8_t MaxPower = 0;
  std::uint8_t InterfaceCount = 0;  // settings parsed
};

// Parses a configuration descriptor set. Reads only inside `size` bytes and
// wTotalLength, whatever the descriptors claim, and always ends.
std::unique_ptr<UsbConfiguration> ParseConfiguration(platform::Handle driverHandle,
                                                     const std::uint8_t* data, std::size_t size,
                                                     DescriptorWalk walk);

// Parses one interface setting from the interface descriptor at data[0],
// reading no further than `size` bytes.
std::unique_ptr<UsbInterfaceSetting> ParseInterfaceSetting(platform::Handle driverHandle,
                                                           const std::uint8_t* data,
                                                           std::size_t size, DescriptorWalk walk);

}  // namespace lumo::usb
