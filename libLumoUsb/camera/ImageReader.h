// The image reader: while a camera acquires, keeps bulk-IN transfers
// outstanding on its stream endpoint 0x81 and copies every completed
// transfer, in completion order, into the camera's StreamRing.
//
// The transfer size is a camera setting (4096 bytes unless changed), read
// when a run starts; as many transfers are kept in flight as keep at least
// kStreamBytesInFlight bytes queued, and never fewer than
// kMinStreamTransfers. The frame assembler is woken once per
// kStreamAnnounceBytes appended, and whenever the reader is about to wait,
// so that no data sits in the ring unannounced.
#pragma once

#include <cstdint>

namespace lumo::usb {
class CLumoUSBDevice;
class CLumoUSBEndPoint;
}  // namespace lumo::usb

namespace lumo::camera {

struct CameraState;

constexpr std::uint8_t kStreamEndpointAddress = 0x81;
constexpr std::uint32_t kDefaultStreamTransferSize = 4096;
constexpr std::uint32_t kMaxStreamTransferSize = 4u << 20;
constexpr std::uint32_t kStreamBytesInFlight = 64 * 4096;
constexpr std::uint32_t kMinStreamTransfers = 4;
constexpr std::uint32_t kStreamWaitMs = 2000;

// The transfer size a requested size becomes: a whole number of 4096-byte
// blocks, from 4096 bytes to 4 MiB.
std::uint32_t StreamTransferSize(std::int64_t requested);
// Transfers kept in flight for a transfer size.
std::uint32_t StreamTransfersInFlight(std::uint32_t transferSize);

// The device's stream endpoint, or null when it offers none.
usb::CLumoUSBEndPoint* FindStreamEndpoint(usb::CLumoUSBDevice& device);

// Thread routine; ends once acqRunning is found clear (checked after every
// transfer; StopStreaming aborts the outstanding ones so that this is at
// once), or when the device offers no stream endpoint or fails.
void RunImageReader(CameraState* state);

}  // namespace lumo::camera
