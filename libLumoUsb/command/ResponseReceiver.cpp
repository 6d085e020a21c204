#include "command/ResponseReceiver.h"

#include <cstring>

#include "Log.h"
#include "command/CommandChannel.h"
#include "command/CommandFrame.h"
#include "command/CommandTransport.h"
#include "usb/ControlEndPoint.h"
#include "usb/Transfer.h"

namespace lumo::command {

namespace {

constexpr std::uint32_t kStateMask = 0x7FFFFFFFu;

void ResetReceiver(CommandChannel& state) {
  state.rxState = kReceiveIdle;
  state.rxControl = 0;
  state.rxLength = 0;
  state.rxExpected = 0;
  state.rxCount = 0;
}

std::size_t AddressWidth(std::uint8_t control) { return 2u * ((control >> 1) & 3u) + 2u; }
bool HasStatusByte(std::uint8_t control) { return (control >> 5) == kFrameWithStatus; }

// Appends buffer-channel bytes to the ring. The ring and its write index are
// changed under bufferLock, where ReadBuffer reads them.
void AppendToBufferRing(CommandChannel& state, const std::uint8_t* data, std::size_t length) {
  std::lock_guard<std::mutex> lock(state.bufferLock);
  const std::size_t size = state.bufferRing.size();
  std::size_t write = state.bufferWriteIndex;
  if (write + length < size) {
    std::memcpy(state.bufferRing.data() + write, data, length);
    write += length;
  } else {
    const std::size_t first = size - write;
    std::memcpy(state.bufferRing.data() + write, data, first);
    std::memcpy(state.bufferRing.data(), data + first, length - first);
    write = length - first;
  }
  state.bufferWriteIndex = static_cast<std::uint32_t>(write);
  state.bufferArrived = true;
  state.bufferCondition.notify_all();
}

void StoreResponse(CommandChannel& state, std::uint64_t address, const std::uint8_t* data,
                   std::size_t length) {
  std::lock_guard<std::mutex> lock(state.responseLock);
  state.responseStore[static_cast<std::uint32_t>(address)].assign(data, data + length);
  if (address == state.awaitedAddress) {
    state.responseArrived = true;
    state.responseCondition.notify_all();
  }
}

}  // namespace

void complate_data(CommandChannel& state) {
  const std::uint8_t control = state.rxControl;
  const std::size_t expected = state.rxExpected;
  if (control & 1) {
    const std::uint8_t head[2] = {state.rxControl, state.rxLength};
    const std::uint8_t computed = Crc8(state.rxBody.data(), expected - 1, Crc8(head, 2));
    const std::uint8_t received = state.rxBody[expected - 1];
    if (computed != received) {
      state.checkByteErrors.fetch_add(1, std::memory_order_relaxed);
      ConsoleLog("complate_data=>crc8_error(%02X!=%02X)\r\n", computed, received);
      {
        // A register call waiting now learns why its answer may not come.
        std::lock_guard<std::mutex> lock(state.responseLock);
        state.checkFailed = true;
      }
      ResetReceiver(state);
      return;
    }
  }
  const std::size_t width = AddressWidth(control);
  std::uint64_t address = 0;
  for (std::size_t i = 0; i < width; ++i) address = (address << 8) | state.rxBody[i];
  const std::uint8_t* data = state.rxBody.data() + width + (HasStatusByte(control) ? 1 : 0);
  const std::size_t length = state.rxLength;

  if (address == kBufferChannelAddress)
    AppendToBufferRing(state, data, length);
  else
    StoreResponse(state, address, data, length);
  ResetReceiver(state);
}

void AcceptByte(CommandChannel& state, std::uint8_t value) {
  switch (state.rxState & kStateMask) {
    case kReceiveAwaitControl: {
      state.rxState = kReceiveAwaitLength;
      state.rxControl = value;
      state.rxLength = 0;
      state.rxExpected = 0;
      state.rxCount = 0;
      const unsigned version = (value >> 3) & 3u;
      if (version != 0) {
        ResetReceiver(state);
        ConsoleLog("ver = %d not support!Reset recv status!\r\n", static_cast<int>(version));
      }
      break;
    }
    case kReceiveAwaitLength: {
      const std::uint8_t control = state.rxControl;
      state.rxState = kReceiveInBody;
      state.rxLength = value;
      state.rxExpected = static_cast<std::uint16_t>(value + (control & 1) + AddressWidth(control) +
                                                    (HasStatusByte(control) ? 1 : 0));
      break;
    }
    case kReceiveInBody:
      state.rxState = kReceiveInBody;
      state.rxBody[state.rxCount] = value;
      ++state.rxCount;  // eight bits: a body over 255 bytes never completes
      if (state.rxCount == state.rxExpected) complate_data(state);
      break;
    default:
      ResetReceiver(state);
      break;
  }
}

void ParseReceivedBytes(CommandChannel& state, const std::uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    const bool escapePending = (state.rxState & kReceiveEscapePending) != 0;
    switch (byte) {
      case kFrameFlag:
        state.rxState = kReceiveAwaitControl;
        state.rxControl = 0;
        state.rxLength = 0;
        state.rxExpected = 0;
        state.rxCount = 0;
        break;
      case kFrameEscape: {
        const std::uint32_t plain = state.rxState & kStateMask;
        if (plain == kReceiveAwaitControl || plain == kReceiveAwaitLength ||
            plain == kReceiveInBody)
          state.rxState |= kReceiveEscapePending;
        else
          ResetReceiver(state);
        break;
      }
      case kEscapedFlag:
        AcceptByte(state, escapePending ? kFrameFlag : kEscapedFlag);
        break;
      case kEscapedEscape:
        AcceptByte(state, escapePending ? kFrameEscape : kEscapedEscape);
        break;
      default:
        if (escapePending)
          ResetReceiver(state);
        else
          AcceptByte(state, byte);
        break;
    }
  }
}

void RunResponseReader(CommandChannel* state) {
  platform::NameCurrentThread("lumo-response");
  if (!state->IsOpen()) return;
  LogCameraScope camera(state->cameraHandle);
  const usb::ControlSetup setup = CommandSetup(true, kCommandTimeoutMs);
  usb::Transfer transfer;
  // A camera that has gone away fails every poll until it is detached: the
  // first failure of a run is logged, its repeats once a second.
  RepeatedMessage failures;
  const auto failed = [&](auto log) {
    log(failures);
    state->pollPacer.PauseAfterEmptyPoll();
  };
  do {
    usb::CLumoControlEndPoint& endpoint = *state->responseEndpoint;
    std::uint32_t length = kPollLength;
    if (!transfer.BeginControl(endpoint, setup, state->responseTransferBuffer.data(), length) &&
        (endpoint.DriverStatus != 0 || endpoint.BusStatus != 0)) {
      failed([&](RepeatedMessage& message) {
        message.Log("ioRead BeginDataXfers error,error:%d,%d\r\n",
                    static_cast<int>(endpoint.DriverStatus), static_cast<int>(endpoint.BusStatus));
      });
      continue;
    }
    // A request that was never taken cannot be waited for: say why.
    if (!transfer.Await(kCommandTimeoutMs, kCommandTimeoutMs) && !transfer.Active()) {
      failed([&](RepeatedMessage& message) {
        message.Log("ioRead wait xfer error,lasterror:%d\r\n",
                    static_cast<int>(transfer.SubmitError()));
      });
      continue;
    }
    if (!transfer.Finish(state->responseTransferBuffer.data(), &length)) {
      failed([&](RepeatedMessage& message) {
        message.Log("ioRead wait xfer error,lasterror:%d\r\n", static_cast<int>(endpoint.OsError));
      });
      continue;
    }
    failures.Flush();
    if (length != 0)
      ParseReceivedBytes(*state, state->responseTransferBuffer.data(), length);
    else
      state->pollPacer.PauseAfterEmptyPoll();
  } while (state->responseReaderRunning.load());
  failures.Flush();
}

}  // namespace lumo::command
