// CLumoControlEndPoint: requests on endpoint zero. Each request carries its
// setup packet as a ControlSetup value; the data travel inside the record.
#pragma once

#include "usb/ControlSetup.h"
#include "usb/EndPoint.h"

namespace lumo::usb {

class CLumoControlEndPoint : public CLumoUSBEndPoint {
 public:
  CLumoControlEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor);

  // Submits the request `setup` with `length` data bytes (sent from, or
  // received into, the record). None when nothing was submitted.
  RequestHandle BeginControl(const ControlSetup& setup, std::uint8_t* buffer, std::uint32_t length,
                             platform::Overlapped* overlapped);
  // A control request needs its setup: without one nothing is submitted.
  RequestHandle BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                              platform::Overlapped* overlapped) override;
  // Runs the request to its end (cancelling it after setup.timeoutMs);
  // *length is the number of data bytes on the way in and on return.
  bool ControlSync(const ControlSetup& setup, std::uint8_t* buffer, std::uint32_t* length);
  // ControlSync of a host-to-device request carrying `length` bytes.
  bool WriteSync(ControlSetup setup, std::uint8_t* buffer, std::uint32_t* length);
};

}  // namespace lumo::usb
