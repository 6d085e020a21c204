// CLumoIsocEndPoint: isochronous transfers, whose records carry a packet
// table that the driver fills (8 bytes a packet).
#pragma once

#include "usb/EndPoint.h"

namespace lumo::usb {

class CLumoIsocEndPoint : public CLumoUSBEndPoint {
 public:
  CLumoIsocEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor,
                    const CompanionDescriptor* companion = nullptr)
      : CLumoUSBEndPoint(driverHandle, descriptor, companion) {}

  RequestHandle SubmitDirect(std::uint8_t* buffer, std::uint32_t length,
                             platform::Overlapped* overlapped) override;
  RequestHandle SubmitBuffered(std::uint8_t* buffer, std::uint32_t length,
                               platform::Overlapped* overlapped) override;
  RequestHandle BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                              platform::Overlapped* overlapped) override;

  static constexpr std::uint32_t kPacketEntrySize = 8;

 private:
  // Packets a transfer of `length` bytes needs; 0 when none can be sent.
  std::uint32_t PacketCount(std::uint32_t length) const;
};

}  // namespace lumo::usb
