#include "command/RegisterAccess.h"

#include <algorithm>
#include <cstring>

#include "Failure.h"
#include "command/CommandChannel.h"
#include "command/CommandFrame.h"
#include "command/CommandTransport.h"
#include "usb/ControlEndPoint.h"
#include "usb/TransferFailure.h"

namespace lumo::command {

namespace {

// Encodes and sends one register frame. The transfer's own result does not
// end the call: a lost request shows as a missing answer. Why the transfer
// failed is kept in *sendFailure, to tell the caller why no answer came.
bool SendRegisterFrame(CommandChannel& state, std::uint32_t address, const std::uint8_t* data,
                       std::int64_t length, int type, Failure* sendFailure) {
  std::uint8_t encoded[kFrameBufferSize] = {};
  std::int64_t size = length;
  if (EncodeCommandFrame(encoded, static_cast<std::int32_t>(address), data, &size, type) == 0)
    return Fail(LUMO_ERROR_BAD_ARGUMENT);
  std::uint32_t sent = static_cast<std::uint32_t>(size);
  usb::CLumoControlEndPoint& endpoint = *state.commandEndpoint;
  if (!endpoint.WriteSync(CommandSetup(false, kCommandTimeoutMs), encoded, &sent))
    *sendFailure = usb::TransferFailure(endpoint, platform::LastError());
  state.pollPacer.RequestSent();
  return true;
}

// Why no answer came although the request was sent: a refused or failed
// request says more than the time-out it led to.
bool NoAnswer(const Failure& sendFailure) {
  const Failure waited = TakeFailure();
  if (waited.kind == LUMO_ERROR_TIMED_OUT && sendFailure.kind != LUMO_ERROR_NONE)
    return Fail(sendFailure);
  return Fail(waited);
}

// Copies the stored answer for `address`, at most `capacity` bytes.
void CopyAnswer(CommandChannel& state, std::uint32_t address, std::uint8_t* destination,
                std::size_t capacity) {
  std::lock_guard<std::mutex> lock(state.responseLock);
  const std::vector<std::uint8_t>& answer = state.responseStore[address];
  const std::size_t count = std::min(capacity, answer.size());
  if (count && destination) std::memcpy(destination, answer.data(), count);
}

}  // namespace

CommandClock::time_point DeadlineAfter(std::int32_t timeoutMs) {
  return CommandClock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

bool ChannelFailure(const CommandChannel& state) {
  if (!state.IsOpen()) return Fail(LUMO_ERROR_NOT_OPEN);
  if (state.IsAway()) return Fail(LUMO_ERROR_REMOVED);
  return Fail(LUMO_ERROR_TIMED_OUT);
}

CommandTurn TakeCommandTurn(CommandChannel& state, CommandClock::time_point deadline) {
  CommandTurn turn(state.commandLock, std::defer_lock);
  if (!turn.try_lock_until(deadline)) {
    ChannelFailure(state);
    return turn;
  }
  // The camera may have been closed or unplugged while this caller waited.
  if (!state.IsOpen() || state.IsAway()) {
    turn.unlock();
    ChannelFailure(state);
  } else if (!state.commandEndpoint) {
    Fail(LUMO_ERROR_REMOVED);  // detached: its endpoints are gone
  }
  return turn;
}

void ExpectResponse(CommandChannel& state, std::uint32_t address) {
  std::lock_guard<std::mutex> lock(state.responseLock);
  state.responseArrived = false;
  state.checkFailed = false;
  state.awaitedAddress = address;
}

bool AwaitResponse(CommandChannel& state, CommandClock::time_point deadline) {
  bool arrived = false;
  bool checkFailed = false;
  {
    std::unique_lock<std::mutex> lock(state.responseLock);
    // Closing or unplugging the camera ends the wait at once.
    state.responseCondition.wait_until(
        lock, deadline, [&] { return state.responseArrived || !state.IsOpen() || state.IsAway(); });
    arrived = state.responseArrived;
    checkFailed = state.checkFailed;
    // A wait ended by a close or an unplug is not the camera's silence.
    if (!arrived && state.IsOpen() && !state.IsAway())
      state.answerTimeouts.fetch_add(1, std::memory_order_relaxed);
  }
  state.pollPacer.AnswerTaken();
  if (arrived) return true;
  if (checkFailed && state.IsOpen() && !state.IsAway()) return Fail(LUMO_ERROR_CHECK_BYTE);
  return ChannelFailure(state);
}

bool WriteRegister(CommandChannel& state, std::int64_t address, std::uint8_t* data,
                   std::int32_t length, std::int32_t timeoutMs) {
  if (!state.IsOpen() || state.IsAway()) return ChannelFailure(state);
  if (length < 0 || length > kMaxRegisterWrite || (length > 0 && !data))
    return Fail(LUMO_ERROR_BAD_ARGUMENT);
  const auto deadline = DeadlineAfter(timeoutMs);
  CommandTurn turn = TakeCommandTurn(state, deadline);
  if (!turn.owns_lock() || !state.commandEndpoint) return false;  // the turn said why
  if (state.IsAway()) return Fail(LUMO_ERROR_REMOVED);
  const auto registerAddress = static_cast<std::uint32_t>(address);
  ExpectResponse(state, registerAddress);
  Failure sendFailure;
  if (!SendRegisterFrame(state, registerAddress, data, length, kFrameRegisterWrite, &sendFailure))
    return false;
  if (!AwaitResponse(state, deadline)) return NoAnswer(sendFailure);
  CopyAnswer(state, registerAddress, data, static_cast<std::size_t>(length));
  return true;
}

bool ReadRegister(CommandChannel& state, std::int64_t address, std::uint8_t* destination,
                  std::int32_t length, std::int32_t timeoutMs) {
  // A detached camera has no response reader: no answer could come.
  if (!state.IsOpen() || state.IsAway()) return ChannelFailure(state);
  if (length < 0 || (length > 0 && !destination)) return Fail(LUMO_ERROR_BAD_ARGUMENT);
  const auto deadline = DeadlineAfter(timeoutMs);
  CommandTurn turn = TakeCommandTurn(state, deadline);
  if (!turn.owns_lock() || !state.commandEndpoint) return false;  // the turn said why
  const auto registerAddress = static_cast<std::uint32_t>(address);
  ExpectResponse(state, registerAddress);
  Failure sendFailure;
  SendRegisterFrame(state, registerAddress, nullptr, 0, kFrameRegisterRead, &sendFailure);
  if (!AwaitResponse(state, deadline)) return NoAnswer(sendFailure);
  CopyAnswer(state, registerAddress, destination, static_cast<std::size_t>(length));
  return true;
}

}  // namespace lumo::command
