#include "usb/ControlEndPoint.h"

#include <cstring>

namespace lumo::usb {

CLumoControlEndPoint::CLumoControlEndPoint(platform::Handle driverHandle,
                                           const EndpointDescriptor* descriptor)
    : CLumoUSBEndPoint(driverHandle, descriptor, nullptr) {
  DirectMode = 0;
}

RequestHandle CLumoControlEndPoint::BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                                                  platform::Overlapped* overlapped) {
  if (!HasDriverHandle()) return nullptr;
  // A setup packet carries at most 65535 data bytes.
  if (length > 0xFFFF) {
    OsError = platform::kErrorInvalidParameter;
    return nullptr;
  }
  InDirection = DeviceToHost == 1;
  auto request =
      std::make_unique<RequestContext>(kTransferRecordSize + length, DriverHandle, overlapped, 0);
  TransferRecord& header = request->Header();
  header.setupPacket[0] = static_cast<std::uint8_t>(((DeviceToHost & 1) << 7) |
                                                    ((RequestKind & 3) << 5) | (Recipient & 0x1F));
  header.setupPacket[1] = RequestCode;
  header.setupPacket[2] = static_cast<std::uint8_t>(RequestValue);
  header.setupPacket[3] = static_cast<std::uint8_t>(RequestValue >> 8);
  header.setupPacket[4] = static_cast<std::uint8_t>(RequestIndex);
  header.setupPacket[5] = static_cast<std::uint8_t>(RequestIndex >> 8);
  header.setupPacket[6] = static_cast<std::uint8_t>(length);
  header.setupPacket[7] = static_cast<std::uint8_t>(length >> 8);
  header.timeoutSeconds = (TimeoutMs > 0 && TimeoutMs < 1000) ? 1 : TimeoutMs / 1000;
  header.endpointAddress = 0;
  header.dataOffset = kTransferRecordSize;
  header.dataLength = length;
  if (buffer && length) std::memcpy(request->Bytes() + kTransferRecordSize, buffer, length);
  if (!Issue(CODE_CONTROL_TRANSFER, *request, request->Bytes(), request->Size(), overlapped, false))
    return nullptr;
  return request;
}

bool CLumoControlEndPoint::WriteSync(std::uint8_t* buffer, std::uint32_t* length) {
  DeviceToHost = 0;
  return TransferSync(buffer, length, nullptr);
}

}  // namespace lumo::usb
