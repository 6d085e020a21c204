#include "usb/EndPoint.h"

#include <cstring>

#include "platform/UniqueHandle.h"
#include "usb/Transfer.h"

namespace lumo::usb {

CLumoUSBEndPoint::CLumoUSBEndPoint(platform::Handle driverHandle,
                                   const EndpointDescriptor* descriptor,
                                   const CompanionDescriptor* companion)
    : DriverHandle(driverHandle) {
  if (descriptor) {
    PacketMultiplier = static_cast<std::uint16_t>(((descriptor->wMaxPacketSize >> 11) & 3) + 1);
    DescriptorLength = descriptor->bLength;
    DescriptorType = descriptor->bDescriptorType;
    EndpointAddress = descriptor->bEndpointAddress;
    EndpointAttributes = descriptor->bmAttributes;
    PacketSize =
        static_cast<std::uint16_t>((descriptor->wMaxPacketSize & 0x7FF) * PacketMultiplier);
    PollInterval = descriptor->bInterval;
    InDirection = (descriptor->bEndpointAddress & 0x80) != 0;
  }
  if (companion) {
    CompanionLength = companion->bLength;
    CompanionType = companion->bDescriptorType;
    MaxBurst = companion->bMaxBurst;
    CompanionAttributes = companion->bmAttributes;
    PacketSize = static_cast<std::uint16_t>(PacketSize * (companion->bMaxBurst + 1));
    if ((EndpointAttributes & 3) == kTransferIsochronous)
      PacketSize = static_cast<std::uint16_t>(PacketSize * ((companion->bmAttributes & 3) + 1));
    BytesPerInterval = companion->wBytesPerInterval;
  }
}

bool CLumoUSBEndPoint::HasDriverHandle() const {
  return DriverHandle != platform::InvalidHandle() && DriverHandle != nullptr;
}

RequestHandle CLumoUSBEndPoint::BeginByMode(std::uint8_t* buffer, std::uint32_t length,
                                            platform::Overlapped* overlapped) {
  if (!HasDriverHandle()) return nullptr;
  return DirectMode == 1 ? SubmitDirect(buffer, length, overlapped)
                         : SubmitBuffered(buffer, length, overlapped);
}

bool CLumoUSBEndPoint::Issue(std::uint32_t code, RequestContext& request, void* output,
                             std::uint32_t outputSize, platform::Overlapped* overlapped,
                             bool copyStatus) {
  // A cleared record: whatever an earlier request left in it must never be
  // taken for this request's outcome.
  if (overlapped) {
    overlapped->internal.store(0, std::memory_order_relaxed);
    overlapped->internalHigh.store(0, std::memory_order_relaxed);
  }
  platform::SetLastError(0);
  if (platform::IoControl(DriverHandle, code, request.Bytes(), request.Size(), output, outputSize,
                          nullptr, overlapped))
    platform::SetLastError(0);
  OsError = platform::LastError();
  if (copyStatus && !request.Outstanding()) {
    BusStatus = request.Header().usbStatus;
    DriverStatus = request.Header().systemStatus;
  } else if (copyStatus) {
    // The driver owns the record while the request runs: its status words
    // are still the cleared ones.
    BusStatus = 0;
    DriverStatus = 0;
  }
  return OsError == 0 || OsError == platform::kErrorIoPending;
}

RequestHandle CLumoUSBEndPoint::SubmitDirect(std::uint8_t* buffer, std::uint32_t length,
                                             platform::Overlapped* overlapped) {
  if (!HasDriverHandle()) return nullptr;
  auto request = std::make_unique<RequestContext>(kTransferRecordSize, DriverHandle, overlapped,
                                                  EndpointAddress);
  request->Header().endpointAddress = EndpointAddress;
  if (!Issue(CODE_DIRECT_TRANSFER, *request, buffer, length, overlapped, true)) return nullptr;
  return request;
}

RequestHandle CLumoUSBEndPoint::SubmitBuffered(std::uint8_t* buffer, std::uint32_t length,
                                               platform::Overlapped* overlapped) {
  if (!HasDriverHandle()) return nullptr;
  auto request = std::make_unique<RequestContext>(kTransferRecordSize + length, DriverHandle,
                                                  overlapped, EndpointAddress);
  TransferRecord& header = request->Header();
  header.endpointAddress = EndpointAddress;
  header.dataOffset = kTransferRecordSize;
  header.dataLength = length;
  if (buffer && length) std::memcpy(request->Bytes() + kTransferRecordSize, buffer, length);
  request->SetDataIn(InDirection);
  if (!Issue(CODE_BUFFERED_TRANSFER, *request, request->Bytes(), request->Size(), overlapped, true))
    return nullptr;
  return request;
}

bool CLumoUSBEndPoint::FinishTransfer(std::uint8_t* buffer, std::uint32_t* length,
                                      platform::Overlapped* overlapped, RequestHandle& request,
                                      std::uint8_t* packetInfo) {
  if (!request) return false;
  std::uint32_t bytes = 0;
  const bool succeeded = platform::OverlappedResult(DriverHandle, overlapped, &bytes, false);
  // The driver may still write into an unfinished request: keep its record.
  if (!succeeded && platform::LastError() == platform::kErrorIoIncomplete) return false;

  const TransferRecord& header = request->Header();
  std::uint32_t dataLength = 0;
  if (bytes != 0) dataLength = bytes > header.dataOffset ? bytes - header.dataOffset : 0;
  if (length) *length = dataLength;
  BytesDone = static_cast<std::int32_t>(dataLength);
  BusStatus = header.usbStatus;
  DriverStatus = header.systemStatus;

  // Never copy more than the record carries.
  const std::uint64_t dataEnd = std::uint64_t{header.dataOffset} + dataLength;
  if (request->DataIn() && dataLength > 0 && buffer && dataEnd <= request->Size())
    std::memcpy(buffer, request->Bytes() + header.dataOffset, dataLength);
  const std::uint64_t tableEnd = std::uint64_t{header.packetTableOffset} + header.packetTableLength;
  if (packetInfo && dataLength > 0 && header.packetTableLength > 0 && tableEnd <= request->Size())
    std::memcpy(packetInfo, request->Bytes() + header.packetTableOffset, header.packetTableLength);

  const bool statusClear = header.usbStatus == 0 && header.systemStatus == 0;
  request.reset();
  return succeeded && statusClear;
}

bool CLumoUSBEndPoint::WaitTransfer(platform::Overlapped* overlapped, std::uint32_t timeoutMs) {
  if (OsError == 0) return true;
  if (OsError != platform::kErrorIoPending || !overlapped) return false;
  return platform::WaitForEvent(overlapped->event, timeoutMs) == platform::kWaitObject0;
}

bool CLumoUSBEndPoint::AbortPending() {
  platform::UniqueHandle event(platform::CreateEventObject(false, false));
  platform::Overlapped overlapped;
  overlapped.event = event.get();
  std::uint8_t address = EndpointAddress;
  if (!platform::IoControl(DriverHandle, CODE_ABORT_ENDPOINT, &address, 1, nullptr, 0, nullptr,
                           &overlapped) &&
      platform::LastError() == platform::kErrorIoPending) {
    std::uint32_t bytes = 0;
    // Waiting through the result keeps the overlapped record alive until
    // the driver is done with it, even if the event was already consumed.
    platform::OverlappedResult(DriverHandle, &overlapped, &bytes, true);
  }
  return true;
}

void CLumoUSBEndPoint::SetTransferLength(std::uint32_t length) {
  if (!HasDriverHandle() || PacketSize == 0) return;
  const std::uint32_t rounded = (length + PacketSize - 1) / PacketSize * PacketSize;
  std::uint8_t record[5] = {
      EndpointAddress, static_cast<std::uint8_t>(rounded), static_cast<std::uint8_t>(rounded >> 8),
      static_cast<std::uint8_t>(rounded >> 16), static_cast<std::uint8_t>(rounded >> 24)};
  std::uint32_t bytes = 0;
  if (!platform::IoControl(DriverHandle, CODE_SET_TRANSFER_LENGTH, record, sizeof(record), record,
                           sizeof(record), &bytes, nullptr))
    OsError = platform::LastError();
}

bool CLumoUSBEndPoint::TransferSync(std::uint8_t* buffer, std::uint32_t* length,
                                    std::uint8_t* packetInfo) {
  Transfer transfer;
  if (!transfer.Begin(*this, buffer, length ? *length : 0)) {
    if (length) *length = 0;
    return false;
  }
  return transfer.RunToEnd(TimeoutMs, buffer, length, packetInfo);
}

}  // namespace lumo::usb
