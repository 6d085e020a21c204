// CLumoBulkEndPoint and CLumoInterruptEndPoint: transfers in direct mode
// (the caller's buffer goes to the driver) or buffered mode.
#pragma once

#include "usb/EndPoint.h"

namespace lumo::usb {

// Bulk and interrupt endpoints transfer the same way; the two classes keep
// the kinds apart for callers that look at them.
class CLumoStreamingEndPoint : public CLumoUSBEndPoint {
 public:
  RequestHandle BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                              platform::Overlapped* overlapped) override {
    return BeginByMode(buffer, length, overlapped);
  }

 protected:
  using CLumoUSBEndPoint::CLumoUSBEndPoint;
};

class CLumoBulkEndPoint : public CLumoStreamingEndPoint {
 public:
  CLumoBulkEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor,
                    const CompanionDescriptor* companion = nullptr)
      : CLumoStreamingEndPoint(driverHandle, descriptor, companion) {}
};

class CLumoInterruptEndPoint : public CLumoStreamingEndPoint {
 public:
  CLumoInterruptEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor,
                         const CompanionDescriptor* companion = nullptr)
      : CLumoStreamingEndPoint(driverHandle, descriptor, companion) {}
};

}  // namespace lumo::usb
