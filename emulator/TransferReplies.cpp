#include "TransferReplies.h"

#include <algorithm>
#include <cstring>

#include "DriverWire.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

namespace virt = platform::virt;

namespace {

void WriteStatus(const virt::RequestBuffers& buffers, std::uint32_t system, std::uint32_t usb) {
  if (buffers.outSize < wire::kHeaderSize) return;
  wire::PutLe32(buffers.out + wire::kSystemStatusOffset, system);
  wire::PutLe32(buffers.out + wire::kUsbStatusOffset, usb);
}

// Packet-table entry: 32-bit byte count of the packet, 32-bit USB status.
// `size` bytes are spread over the entries in packets of packetSize bytes.
void WritePacketTable(const TransferTarget& target, const virt::RequestBuffers& buffers,
                      std::uint32_t size) {
  if (target.direct || target.tableLength == 0) return;
  if (std::uint64_t{target.tableOffset} + target.tableLength > buffers.outSize) return;
  const std::uint32_t entries = target.tableLength / wire::kPacketEntrySize;
  std::uint32_t left = size;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint32_t packet =
        target.packetSize ? std::min<std::uint32_t>(left, target.packetSize) : left;
    std::uint8_t* entry = buffers.out + target.tableOffset + i * wire::kPacketEntrySize;
    wire::PutLe32(entry, packet);
    wire::PutLe32(entry + 4, 0);
    left -= packet;
  }
}

}  // namespace

bool FinishIn(const TransferTarget& target, const std::uint8_t* data, std::uint32_t size) {
  size = std::min(size, target.capacity);
  return virt::CompleteRequest(target.id, platform::kErrorSuccess,
                               [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                                 const std::uint32_t offset = target.direct ? 0 : target.dataOffset;
                                 if (offset > buffers.outSize) return 0;
                                 const std::uint32_t n = std::min(size, buffers.outSize - offset);
                                 if (n) std::memcpy(buffers.out + offset, data, n);
                                 if (!target.direct) {
                                   WriteStatus(buffers, 0, 0);
                                   WritePacketTable(target, buffers, n);
                                 }
                                 return offset + n;
                               });
}

bool FinishOut(const TransferTarget& target, std::vector<std::uint8_t>* received) {
  return virt::CompleteRequest(target.id, platform::kErrorSuccess,
                               [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                                 // A direct request's data is its output buffer; an in=out
                                 // request's data sits after its header in the same buffer.
                                 const std::uint32_t offset = target.direct ? 0 : target.dataOffset;
                                 if (offset > buffers.outSize) return 0;
                                 const std::uint32_t n =
                                     std::min(target.capacity, buffers.outSize - offset);
                                 if (received)
                                   received->assign(buffers.out + offset, buffers.out + offset + n);
                                 if (!target.direct) {
                                   WriteStatus(buffers, 0, 0);
                                   WritePacketTable(target, buffers, n);
                                 }
                                 return offset + n;
                               });
}

bool FinishStalled(const TransferTarget& target) {
  return virt::CompleteRequest(target.id, platform::kErrorGenFailure,
                               [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                                 if (target.direct) return 0;
                                 WriteStatus(buffers, kStallSystemStatus, kStallUsbStatus);
                                 return std::min(target.dataOffset, buffers.outSize);
                               });
}

}  // namespace lumo::emulator
