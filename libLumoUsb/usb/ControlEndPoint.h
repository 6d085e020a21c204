// CLumoControlEndPoint: requests on endpoint zero. The request fields make
// the setup packet of the next transfer; the data travel inside the record.
#pragma once

#include "usb/EndPoint.h"

namespace lumo::usb {

class CLumoControlEndPoint : public CLumoUSBEndPoint {
 public:
  CLumoControlEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor);

  RequestHandle BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                              platform::Overlapped* overlapped) override;
  // A host-to-device request carrying `length` bytes, run synchronously.
  bool WriteSync(std::uint8_t* buffer, std::uint32_t* length);

  // bmRequestType = DeviceToHost << 7 | RequestKind << 5 | Recipient.
  std::uint32_t Recipient = 0;
  std::uint32_t RequestKind = 2;  // 0 standard, 1 class, 2 vendor
  std::uint32_t DeviceToHost = 0;
  std::uint8_t RequestCode = 0;
  std::uint16_t RequestValue = 0;
  std::uint16_t RequestIndex = 0;
};

}  // namespace lumo::usb
