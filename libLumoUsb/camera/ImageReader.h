// The image reader: while a camera acquires, keeps 64 bulk-IN transfers of
// 4096 bytes outstanding on its stream endpoint 0x81 and copies every
// completed transfer, in completion order, into the camera's StreamRing.
#pragma once

#include <cstdint>

namespace lumo::camera {

struct CameraState;

constexpr std::uint8_t kStreamEndpointAddress = 0x81;
constexpr int kStreamTransfers = 64;
constexpr std::uint32_t kStreamTransferSize = 4096;
constexpr std::uint32_t kStreamWaitMs = 2000;

// Thread routine; ends once acqRunning is found clear (checked once per
// transfer), or at once when the device offers no stream endpoint.
void RunImageReader(CameraState* state);

}  // namespace lumo::camera
