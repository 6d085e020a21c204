// Register write and read over the command channel: one frame out on the
// camera's command endpoint, then a wait for the answer that the response
// reader stores under the same address.
#pragma once

#include <cstdint>

namespace lumo::camera {
struct CameraState;
}

namespace lumo::command {

// Writes `length` bytes to a register; on success the camera's answer is
// copied back into `data` (at most `length` bytes). Data that one frame
// cannot carry is refused without sending anything.
bool WriteRegister(camera::CameraState& state, std::int64_t address, std::uint8_t* data,
                   std::int32_t length, std::int32_t timeoutMs);

// Reads a register into `destination`, copying at most `length` bytes.
bool ReadRegister(camera::CameraState& state, std::int64_t address, std::uint8_t* destination,
                  std::uint32_t length, std::int32_t timeoutMs);

// Starts waiting for the answer for `address`: clears responseArrived and
// sets awaitedAddress. Done before a request is sent, so that no answer can
// slip in between.
void ExpectResponse(camera::CameraState& state, std::uint32_t address);

// Waits until the expected answer has been stored, up to `timeoutMs` on a
// steady clock.
bool AwaitResponse(camera::CameraState& state, std::int32_t timeoutMs);

// ExpectResponse followed by AwaitResponse.
bool WaitForResponse(camera::CameraState& state, std::uint32_t address, std::int32_t timeoutMs);

}  // namespace lumo::command
