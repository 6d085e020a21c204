// The response receiver: the thread that polls an open camera with vendor
// control IN transfers, unescapes the returned byte stream, reassembles
// command frames and delivers them: buffer-channel bytes to the camera's
// buffer ring, register answers to its response store.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumo::command {

class CommandChannel;

// Thread routine; returns when responseReaderRunning is clear at the end of
// a pass (at once when the camera is not open).
void RunResponseReader(CommandChannel* state);

// Feeds raw received bytes through the unescaping step into AcceptByte.
void ParseReceivedBytes(CommandChannel& state, const std::uint8_t* bytes, std::size_t count);

// One step of the receive state machine for one unescaped byte.
void AcceptByte(CommandChannel& state, std::uint8_t value);

// Checks the frame held in the receive state and, when it passes, delivers
// it; returns the machine to Idle.
void complate_data(CommandChannel& state);

}  // namespace lumo::command
