// Finishing a transfer request: where its data goes in the caller's
// buffers, the status words written back into its header, the packet table
// of an isochronous transfer, and the byte count reported.
//
// Control and buffered requests carry header, packet table and data in one
// in=out buffer; their byte count includes the data offset. A direct
// request's data buffer is the output buffer itself and its byte count is
// the data length; its header sits in the input buffer, which the driver
// does not write.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/virtual/VirtualBus.h"

namespace lumo::emulator {

struct TransferTarget {
  platform::virt::RequestId id = 0;
  bool direct = false;
  std::uint32_t capacity = 0;     // bytes the request can carry
  std::uint32_t dataOffset = 0;   // in=out requests: where the data starts
  std::uint32_t tableOffset = 0;  // in=out isochronous requests: the packet table
  std::uint32_t tableLength = 0;
  std::uint16_t packetSize = 0;  // isochronous: bytes per packet-table entry
};

// Completes an IN request with `size` bytes (at most capacity).
// False if the request was not outstanding any more.
bool FinishIn(const TransferTarget& target, const std::uint8_t* data, std::uint32_t size);

// Completes an OUT request as fully sent; its data is copied to `received`
// when that is not null.
bool FinishOut(const TransferTarget& target, std::vector<std::uint8_t>* received);

// Completes a request with a stall: ERROR_GEN_FAILURE, and for in=out
// requests the stall status words in the header.
bool FinishStalled(const TransferTarget& target);

}  // namespace lumo::emulator
