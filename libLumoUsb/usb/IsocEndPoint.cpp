#include "usb/IsocEndPoint.h"

#include <cstring>

namespace lumo::usb {

std::uint32_t CLumoIsocEndPoint::PacketCount(std::uint32_t length) const {
  if (PacketSize == 0) return 0;
  return (length + PacketSize - 1) / PacketSize;
}

RequestHandle CLumoIsocEndPoint::SubmitDirect(std::uint8_t* buffer, std::uint32_t length,
                                              platform::Overlapped* overlapped) {
  const std::uint32_t packets = PacketCount(length);
  if (!HasDriverHandle() || packets == 0) return nullptr;
  const std::uint32_t table = packets * kPacketEntrySize;
  auto request = std::make_unique<RequestContext>(kTransferRecordSize + table, DriverHandle,
                                                  overlapped, EndpointAddress);
  TransferRecord& header = request->Header();
  header.endpointAddress = EndpointAddress;
  header.packetTableOffset = kTransferRecordSize;
  header.packetTableLength = table;
  if (!Issue(CODE_DIRECT_TRANSFER, *request, buffer, length, overlapped, true)) return nullptr;
  return request;
}

RequestHandle CLumoIsocEndPoint::SubmitBuffered(std::uint8_t* buffer, std::uint32_t length,
                                                platform::Overlapped* overlapped) {
  const std::uint32_t packets = PacketCount(length);
  if (!HasDriverHandle() || packets == 0) return nullptr;
  const std::uint32_t table = packets * kPacketEntrySize;
  auto request = std::make_unique<RequestContext>(kTransferRecordSize + table + length,
                                                  DriverHandle, overlapped, EndpointAddress);
  TransferRecord& header = request->Header();
  header.endpointAddress = EndpointAddress;
  header.packetTableOffset = kTransferRecordSize;
  header.packetTableLength = table;
  header.dataOffset = kTransferRecordSize + table;
  header.dataLength = length;
  if (buffer && length) std::memcpy(request->Bytes() + header.dataOffset, buffer, length);
  if (!Issue(CODE_BUFFERED_TRANSFER, *request, request->Bytes(), request->Size(), overlapped, true))
    return nullptr;
  return request;
}

RequestHandle CLumoIsocEndPoint::BeginTransfer(std::uint8_t* buffer, std::uint32_t length,
                                               platform::Overlapped* overlapped) {
  return BeginByMode(buffer, length, overlapped);
}

}  // namespace lumo::usb
