#include "usb/ControlEndPoint.h"

#include <cstring>

#include "usb/Transfer.h"

namespace lumo::usb {

CLumoControlEndPoint::CLumoControlEndPoint(platform::Handle driverHandle,
                                           const EndpointDescriptor* descriptor)
    : CLumoUSBEndPoint(driverHandle, descriptor, nullptr) {
  DirectMode = 0;
}

RequestHandle CLumoControlEndPoint::BeginTransfer(std::uint8_t*, std::uint32_t,
                                                  platform::Overlapped*) {
  OsError = platform::kErrorInvalidParameter;
  return nullptr;
}

RequestHandle CLumoControlEndPoint::BeginControl(const ControlSetup& setup, std::uint8_t* buffer,
                                                 std::uint32_t length,
                                                 platform::Overlapped* overlapped) {
  if (!HasDriverHandle()) return nullptr;
  // A setup packet carries at most 65535 data bytes.
  if (length > 0xFFFF) {
    OsError = platform::kErrorInvalidParameter;
    return nullptr;
  }
  InDirection = setup.deviceToHost;
  auto request =
      std::make_unique<RequestContext>(kTransferRecordSize + length, DriverHandle, overlapped, 0);
  TransferRecord& header = request->Header();
  header.setupPacket[0] = setup.RequestType();
  header.setupPacket[1] = setup.request;
  header.setupPacket[2] = static_cast<std::uint8_t>(setup.value);
  header.setupPacket[3] = static_cast<std::uint8_t>(setup.value >> 8);
  header.setupPacket[4] = static_cast<std::uint8_t>(setup.index);
  header.setupPacket[5] = static_cast<std::uint8_t>(setup.index >> 8);
  header.setupPacket[6] = static_cast<std::uint8_t>(length);
  header.setupPacket[7] = static_cast<std::uint8_t>(length >> 8);
  const std::uint32_t timeoutMs = setup.timeoutMs;
  header.timeoutSeconds = (timeoutMs > 0 && timeoutMs < 1000) ? 1 : timeoutMs / 1000;
  header.endpointAddress = 0;
  header.dataOffset = kTransferRecordSize;
  header.dataLength = length;
  if (buffer && length) std::memcpy(request->Bytes() + kTransferRecordSize, buffer, length);
  request->SetDataIn(setup.deviceToHost);
  if (!Issue(CODE_CONTROL_TRANSFER, *request, request->Bytes(), request->Size(), overlapped, false))
    return nullptr;
  return request;
}

bool CLumoControlEndPoint::ControlSync(const ControlSetup& setup, std::uint8_t* buffer,
                                       std::uint32_t* length) {
  Transfer transfer;
  if (!transfer.BeginControl(*this, setup, buffer, length ? *length : 0)) {
    if (length) *length = 0;
    return false;
  }
  return transfer.RunToEnd(setup.timeoutMs, buffer, length);
}

bool CLumoControlEndPoint::WriteSync(ControlSetup setup, std::uint8_t* buffer,
                                     std::uint32_t* length) {
  setup.deviceToHost = false;
  return ControlSync(setup, buffer, length);
}

}  // namespace lumo::usb
