// The buffer channel: a free byte pipe to and from the camera, carried in
// command frames with the reserved address 0x5AA555AA.
#pragma once

#include <cstdint>

namespace lumo::command {

class CommandChannel;

// Payload bytes carried by one outgoing frame at the most.
constexpr std::int32_t kBufferChunkSize = 200;

// Sends `length` bytes in frames of up to 200 payload bytes (one empty
// frame for a length of 0). A negative length is refused. True only when
// every frame was taken by the driver and completed; a frame the driver
// refuses (the device is gone) ends the call. Logs one line for the bytes
// the call sent, however many frames carried them, and a failure that
// repeats from frame to frame once, with the count of its repeats.
bool SendBuffer(CommandChannel& state, const std::uint8_t* source, std::int32_t length,
                std::int32_t timeoutMs);

// Waits up to `timeoutMs` for unread buffer-channel bytes and copies at
// most *count of them; *count is set to the number copied. Bytes that do
// not fit stay for the next call. A count of 0 or less is refused at once.
bool ReadBuffer(CommandChannel& state, std::uint8_t* destination, std::int32_t* count,
                std::int32_t timeoutMs);

}  // namespace lumo::command
