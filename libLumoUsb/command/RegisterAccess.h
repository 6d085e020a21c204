// Register write and read over the command channel: one frame out on the
// camera's command endpoint, then a wait for the answer that the response
// reader stores under the same address.
//
// Calls on one camera take turns: a call holds the camera's commandLock
// from before its request is sent until its answer is taken, so that each
// caller gets its own answer. A caller waits for its turn no longer than
// its time limit, and the time limit covers the turn and the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/TimedMutex.h"

namespace lumo::command {

class CommandChannel;

// The largest register write: the camera answers a write with the written
// bytes, a 4-byte address and a check byte, and the receiver takes in at
// most 255 bytes after a frame's length byte.
constexpr std::int32_t kMaxRegisterWrite = 250;

using CommandClock = std::chrono::steady_clock;
using CommandTurn = std::unique_lock<platform::TimedMutex>;

// Now plus `timeoutMs` (0 for negative limits).
CommandClock::time_point DeadlineAfter(std::int32_t timeoutMs);

// Waits until `deadline` for the camera's command channel. The turn is
// owned only when it was had in time and the camera is still open; the
// caller still checks commandEndpoint, which a detached camera lacks. When
// the turn is not owned, or the endpoint is missing, why is recorded
// (Failure.h).
CommandTurn TakeCommandTurn(CommandChannel& state, CommandClock::time_point deadline);

// Records why a call on the channel cannot go on or got nothing: closed,
// unplugged, or (when neither) its time ran out. Returns false.
bool ChannelFailure(const CommandChannel& state);

// Writes `length` bytes to a register; on success the camera's answer is
// copied back into `data` (at most `length` bytes). Negative lengths and
// data that one frame cannot carry, or whose answer could not be received,
// are refused without sending anything.
bool WriteRegister(CommandChannel& state, std::int64_t address, std::uint8_t* data,
                   std::int32_t length, std::int32_t timeoutMs);

// Reads a register into `destination`, copying at most `length` bytes. A
// negative length is refused without sending anything.
bool ReadRegister(CommandChannel& state, std::int64_t address, std::uint8_t* destination,
                  std::int32_t length, std::int32_t timeoutMs);

// Starts waiting for the answer for `address`: clears responseArrived and
// sets awaitedAddress. Done before a request is sent, so that no answer can
// slip in between.
void ExpectResponse(CommandChannel& state, std::uint32_t address);

// Waits until the expected answer has been stored, until `deadline` on a
// steady clock; ends early, false, when the camera is closed or unplugged.
// A failed wait records why: closed, unplugged, an answer dropped for its
// check byte, or the time-out.
bool AwaitResponse(CommandChannel& state, CommandClock::time_point deadline);

}  // namespace lumo::command
