#include "command/BufferChannel.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "Failure.h"
#include "Log.h"
#include "command/CommandChannel.h"
#include "command/CommandFrame.h"
#include "command/CommandTransport.h"
#include "command/RegisterAccess.h"
#include "usb/ControlEndPoint.h"
#include "usb/Transfer.h"
#include "usb/TransferFailure.h"

namespace lumo::command {

namespace {

// Builds the escaped frame for one chunk; returns its length.
std::size_t EncodeBufferFrame(std::uint8_t* out, const std::uint8_t* payload, std::uint8_t n) {
  std::size_t length = 0;
  out[length++] = kFrameFlag;
  const std::uint8_t head[] = {static_cast<std::uint8_t>((kFrameBufferData << 5) | (1 << 1)),
                               static_cast<std::uint8_t>(n + 2),
                               0x5A,
                               0xA5,
                               0x55,
                               0xAA,
                               n,
                               0x00};
  for (std::uint8_t byte : head) length = AppendEscaped(out, length, byte);
  for (std::uint8_t i = 0; i < n; ++i) length = AppendEscaped(out, length, payload[i]);
  return length;
}

}  // namespace

bool SendBuffer(CommandChannel& state, const std::uint8_t* source, std::int32_t length,
                std::int32_t timeoutMs) {
  if (!state.IsOpen() || state.IsAway()) return ChannelFailure(state);
  if (length < 0 || (length > 0 && !source)) return Fail(LUMO_ERROR_BAD_ARGUMENT);
  const auto deadline = DeadlineAfter(timeoutMs);
  CommandTurn turn = TakeCommandTurn(state, deadline);
  if (!turn.owns_lock() || !state.commandEndpoint) return false;  // the turn said why
  usb::CLumoControlEndPoint& endpoint = *state.commandEndpoint;
  const auto transferTimeout = static_cast<std::uint32_t>(std::max(timeoutMs, 0));
  const usb::ControlSetup setup = CommandSetup(false, transferTimeout);

  usb::Transfer transfer;
  bool allSent = true;
  Failure firstFailure;
  // A large send is thousands of frames: the call logs one line for what
  // was sent, and a failure that repeats once plus a count.
  std::uint64_t bytesSent = 0;
  RepeatedMessage failures;
  std::int32_t remaining = length;
  std::int32_t position = 0;
  do {
    const auto n = static_cast<std::uint8_t>(std::min(remaining, kBufferChunkSize));
    std::uint8_t encoded[kFrameBufferSize];
    const std::size_t size = EncodeBufferFrame(encoded, source + position, n);
    remaining -= n;
    position += n;

    if (!transfer.BeginControl(endpoint, setup, encoded, static_cast<std::uint32_t>(size))) {
      if (endpoint.DriverStatus != 0 || endpoint.BusStatus != 0)
        ConsoleLog("ioSend BeginDataXfers error,error:%d,%d\r\n",
                   static_cast<int>(endpoint.DriverStatus), static_cast<int>(endpoint.BusStatus));
      else  // refused: the device is gone, nothing more can reach it
        ConsoleLog("ioSend wait xfer error,lasterror:%d\r\n", static_cast<int>(endpoint.OsError));
      failures.Flush();
      return Fail(usb::TransferFailure(endpoint));
    }
    const bool inTime = transfer.Await(transferTimeout, transferTimeout);
    state.pollPacer.RequestSent();  // an answer or a loopback may follow
    std::uint32_t done = static_cast<std::uint32_t>(size);
    if (!transfer.Finish(encoded, &done)) {
      // The remaining chunks are still sent, but the call reports that
      // not every byte reached the camera.
      const std::uint32_t finishError = platform::LastError();
      failures.Log("ioSend wait xfer error,lasterror:%d\r\n", static_cast<int>(endpoint.OsError));
      if (allSent)
        firstFailure =
            inTime ? usb::TransferFailure(endpoint, finishError) : Failure{LUMO_ERROR_TIMED_OUT, 0};
      allSent = false;
    } else {
      bytesSent += done;
    }
  } while (remaining != 0);
  failures.Flush();
  if (bytesSent != 0) ConsoleLog("ioSend success send len = %d!\r\n", static_cast<int>(bytesSent));
  return allSent || Fail(firstFailure);
}

bool ReadBuffer(CommandChannel& state, std::uint8_t* destination, std::int32_t* count,
                std::int32_t timeoutMs) {
  if (!state.IsOpen() || state.IsAway()) return ChannelFailure(state);
  if (!count || *count <= 0 || !destination) return Fail(LUMO_ERROR_BAD_ARGUMENT);
  std::unique_lock<std::mutex> lock(state.bufferLock);
  state.bufferArrived = false;
  // Closing or unplugging the camera ends the wait at once.
  state.bufferCondition.wait_until(lock, DeadlineAfter(timeoutMs), [&] {
    return state.bufferArrived || state.bufferWriteIndex != state.bufferReadIndex ||
           !state.IsOpen() || state.IsAway();
  });
  if (state.IsAway()) return Fail(LUMO_ERROR_REMOVED);
  const std::uint32_t write = state.bufferWriteIndex;
  const std::uint32_t read = state.bufferReadIndex;
  if (write == read) return ChannelFailure(state);
  const std::uint32_t end =
      write > read ? write : static_cast<std::uint32_t>(state.bufferRing.size());
  const std::uint32_t available = end - read;
  const std::uint32_t taken = std::min(available, static_cast<std::uint32_t>(*count));
  std::memcpy(destination, state.bufferRing.data() + read, taken);
  std::uint32_t next = read + taken;
  if (next == state.bufferRing.size()) next = 0;
  state.bufferReadIndex = next;
  *count = static_cast<std::int32_t>(taken);
  return true;
}

}  // namespace lumo::command
