// The device's endpoint zero: standard requests answered from the
// descriptor set, the selected configuration and alternate settings, and
// vendor requests passed to the firmware's handler. Requests are handled one
// at a time, as a device handles its control pipe.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "DescriptorLayout.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

struct ControlOutcome {
  bool stalled = false;
  std::vector<std::uint8_t> inData;  // IN requests: the data stage, at most wLength bytes
};

class ControlRequests {
 public:
  explicit ControlRequests(DescriptorSet descriptors);

  // Handles one request; `outData` is the data stage of an OUT request.
  ControlOutcome Handle(const SetupPacket& setup, const std::vector<std::uint8_t>& outData);
  // Tells the vendor handler that the host has the answer of `setup`.
  void Answered(const SetupPacket& setup);

  // Back to the state after attachment: first configuration, alternate 0.
  void Reset();

  void SetDescriptors(DescriptorSet descriptors);
  DescriptorSet Descriptors() const;
  void SetVendorHandler(std::unique_ptr<VendorRequestHandler> handler);

  std::uint8_t Configuration() const;
  std::uint8_t Alternate(std::uint8_t interfaceNumber) const;
  // The alternate setting of the first interface of the configuration,
  // which the driver reports as the device's current one.
  std::uint8_t DriverAlternate() const;
  // The endpoint `address` if the current settings hold it.
  std::optional<EndpointLayout> ActiveEndpoint(std::uint8_t address) const;

 private:
  const ConfigurationLayout* CurrentLayoutLocked() const;
  std::uint8_t AlternateLocked(std::uint8_t interfaceNumber) const;
  std::optional<std::vector<std::uint8_t>> DescriptorLocked(std::uint16_t value) const;
  ControlOutcome StandardLocked(const SetupPacket& setup);
  void ResetLocked();

  mutable std::mutex mutex_;  // guards everything below; held while a request runs
  DescriptorSet descriptors_;
  std::vector<ConfigurationLayout> layouts_;
  std::uint8_t configuration_ = 0;
  std::map<std::uint8_t, std::uint8_t> alternates_;  // by interface number; absent: 0
  std::unique_ptr<VendorRequestHandler> vendor_;
};

}  // namespace lumo::emulator
