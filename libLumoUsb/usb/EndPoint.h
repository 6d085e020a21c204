// CLumoUSBEndPoint: one endpoint of an opened device, and the transfers on
// it. Overlapped transfers follow one pattern: BeginTransfer, check
// DriverStatus and BusStatus, WaitTransfer (on failure AbortPending and,
// when OsError is 997, wait for the event once more), FinishTransfer.
#pragma once

#include <cstdint>

#include "platform/Platform.h"
#include "usb/EndpointDescriptors.h"
#include "usb/RequestContext.h"

namespace lumo::usb {

class CLumoUSBEndPoint {
 public:
  virtual ~CLumoUSBEndPoint() = default;
  CLumoUSBEndPoint(const CLumoUSBEndPoint&) = delete;
  CLumoUSBEndPoint& operator=(const CLumoUSBEndPoint&) = delete;

  // Hands the caller's buffer to the driver (no copy). None when nothing
  // was submitted, or when the driver refused the request (OsError says
  // why): a refused request has no outcome to collect.
  virtual RequestHandle SubmitDirect(std::uint8_t* buffer, std::uint32_t length,
                                     platform::Overlapped* overlapped);
  // Carries the data inside the request record.
  virtual RequestHandle SubmitBuffered(std::uint8_t* buffer, std::uint32_t length,
                                       platform::Overlapped* overlapped);
  virtual RequestHandle BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                                      platform::Overlapped* overlapped) = 0;
  // Collects a request's result without waiting and releases its record.
  // A request that is still outstanding reports false and keeps its record.
  virtual bool FinishTransfer(std::uint8_t* buffer, std::uint32_t* length,
                              platform::Overlapped* overlapped, RequestHandle& request,
                              std::uint8_t* packetInfo);

  bool WaitTransfer(platform::Overlapped* overlapped, std::uint32_t timeoutMs);
  // Cancels every request outstanding on the endpoint. Always true.
  bool AbortPending();
  void SetTransferLength(std::uint32_t length);
  // Begins, waits (cancelling after TimeoutMs) and finishes one transfer.
  bool TransferSync(std::uint8_t* buffer, std::uint32_t* length, std::uint8_t* packetInfo);

  platform::Handle DriverHandle;
  std::uint8_t DescriptorLength = 0;
  std::uint8_t DescriptorType = 0;
  std::uint8_t EndpointAddress = 0;
  std::uint8_t EndpointAttributes = 0;
  std::uint16_t PacketSize = 0;
  std::uint16_t PacketMultiplier = 0;
  std::uint8_t PollInterval = 0;
  std::uint8_t CompanionLength = 0;
  std::uint8_t CompanionType = 0;
  std::uint8_t MaxBurst = 0;
  std::uint8_t CompanionAttributes = 0;
  std::uint16_t BytesPerInterval = 0;
  std::uint32_t TimeoutMs = 10000;
  std::uint32_t BusStatus = 0;
  std::uint32_t DriverStatus = 0;
  std::int32_t BytesDone = 0;
  std::uint32_t OsError = 0;
  bool InDirection = false;
  std::uint32_t DirectMode = 1;

 protected:
  CLumoUSBEndPoint(platform::Handle driverHandle, const EndpointDescriptor* descriptor,
                   const CompanionDescriptor* companion);

  bool HasDriverHandle() const;
  // BeginTransfer of the data endpoints: direct mode hands the caller's
  // buffer to the driver, any other mode carries the data in the record.
  RequestHandle BeginByMode(std::uint8_t* buffer, std::uint32_t length,
                            platform::Overlapped* overlapped);
  // Issues `code` overlapped on the record and keeps the outcome. False
  // when the driver refused the request outright (neither done nor pending).
  bool Issue(std::uint32_t code, RequestContext& request, void* output, std::uint32_t outputSize,
             platform::Overlapped* overlapped, bool copyStatus);
};

}  // namespace lumo::usb
