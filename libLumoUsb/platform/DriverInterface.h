// The contract with the camera's driver, the one copy the library keeps: the
// device interface class, the I/O control codes, the request header
// (TransferRecord) that control and data transfers carry, the status words
// a driver writes into it, and the camera's USB identifiers. The USB layer
// builds requests from it; the Windows backend hands them to the vendor's
// kernel driver, and the libusb backend plays that driver from it. (The
// emulator, the other side of the wire, keeps its own copy.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Platform.h"

namespace lumo::platform {

// {AE18AA60-7F6A-11D4-97DD-00010229B959}
constexpr Guid kDriverInterfaceClass = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};
// The same, as it ends a device path.
constexpr char kDriverInterfaceClassText[] = "{ae18aa60-7f6a-11d4-97dd-00010229b959}";

// USB vendor and product IDs of the camera.
constexpr std::uint16_t kCameraVendorId = 0x04B4;
constexpr std::uint16_t kCameraProductId = 0x00F1;

// The driver's I/O control codes.
constexpr std::uint32_t CODE_DRIVER_INFO_A = 0x220000;
constexpr std::uint32_t CODE_DRIVER_INFO_B = 0x220004;
constexpr std::uint32_t CODE_GET_ALTERNATE = 0x220008;
constexpr std::uint32_t CODE_DRIVER_INFO_BYTE = 0x220010;
constexpr std::uint32_t CODE_CONTROL_TRANSFER = 0x220020;
constexpr std::uint32_t CODE_BUFFERED_TRANSFER = 0x220024;
constexpr std::uint32_t CODE_SET_TRANSFER_LENGTH = 0x220038;
constexpr std::uint32_t CODE_DRIVER_TEXT_A = 0x22003C;
constexpr std::uint32_t CODE_DRIVER_TEXT_B = 0x220040;
constexpr std::uint32_t CODE_ABORT_ENDPOINT = 0x220044;
constexpr std::uint32_t CODE_DIRECT_TRANSFER = 0x22004B;
constexpr std::uint32_t CODE_DEVICE_STATE = 0x22004C;

// Request header exchanged with the driver: packed, little-endian, 38 bytes.
// The optional isochronous packet table (8 bytes a packet) and then the data
// follow it in the same buffer.
#pragma pack(push, 1)
struct TransferRecord {
  std::uint8_t setupPacket[8];      // USB setup packet; zero for other endpoints
  std::uint32_t timeoutSeconds;     // control transfers only, else 0
  std::uint8_t reserved;            // zero
  std::uint8_t endpointAddress;     // 0 for endpoint zero
  std::uint32_t systemStatus;       // set by the driver
  std::uint32_t usbStatus;          // set by the driver
  std::uint32_t packetTableOffset;  // from the record's start (38), or 0
  std::uint32_t packetTableLength;  // bytes, or 0
  std::uint32_t dataOffset;         // from the record's start; 0 when direct
  std::uint32_t dataLength;         // 0 when direct
};
#pragma pack(pop)

static_assert(sizeof(TransferRecord) == 38, "TransferRecord is 38 bytes");
static_assert(offsetof(TransferRecord, timeoutSeconds) == 8, "TransferRecord layout");
static_assert(offsetof(TransferRecord, reserved) == 12, "TransferRecord layout");
static_assert(offsetof(TransferRecord, endpointAddress) == 13, "TransferRecord layout");
static_assert(offsetof(TransferRecord, systemStatus) == 14, "TransferRecord layout");
static_assert(offsetof(TransferRecord, usbStatus) == 18, "TransferRecord layout");
static_assert(offsetof(TransferRecord, packetTableOffset) == 22, "TransferRecord layout");
static_assert(offsetof(TransferRecord, packetTableLength) == 26, "TransferRecord layout");
static_assert(offsetof(TransferRecord, dataOffset) == 30, "TransferRecord layout");
static_assert(offsetof(TransferRecord, dataLength) == 34, "TransferRecord layout");

constexpr std::uint32_t kTransferRecordSize = sizeof(TransferRecord);
constexpr std::size_t kSetupPacketSize = sizeof(TransferRecord::setupPacket);

// Status words a driver writes into a finished request's record, with the
// values the Windows USB stack uses: (USB status, system status).
constexpr std::uint32_t kUsbStatusStall = 0xC0000004;
constexpr std::uint32_t kSystemStatusStall = 0xC0000001;  // STATUS_UNSUCCESSFUL
constexpr std::uint32_t kUsbStatusCanceled = 0xC0010000;
constexpr std::uint32_t kSystemStatusCancelled = 0xC0000120;
constexpr std::uint32_t kSystemStatusTimeout = 0xC00000B5;
constexpr std::uint32_t kUsbStatusDeviceGone = 0xC0007000;
constexpr std::uint32_t kSystemStatusNoSuchDevice = 0xC000000E;
constexpr std::uint32_t kUsbStatusError = 0xC0000011;  // transaction error (babble, CRC)

}  // namespace lumo::platform
