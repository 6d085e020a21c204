// Feeds one received byte stream from the input to the response receiver
// twice: in one piece, and cut into transfers at points taken from the
// input. The receive state carries over from one transfer to the next, so
// both must store the same register responses, put the same bytes into the
// buffer ring, log the same and end in the same receive state.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "StreamFuzzSupport.h"
#include "command/CommandChannel.h"
#include "command/ResponseReceiver.h"

namespace {

using lumo::command::CommandChannel;

// Where the receiver starts: registers awaited, the buffer ring's write
// position (any, as after earlier traffic) and the ring's old bytes.
struct Start {
  std::uint32_t awaitedAddress = 0;
  std::uint32_t bufferWriteIndex = 0;
  std::uint8_t ringFill = 0;
};

struct Received {
  std::unique_ptr<CommandChannel> state;
  std::string log;
};

Received Receive(const std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& cuts,
                 const Start& start) {
  Received received;
  lumo::fuzz::LogCapture capture(&received.log);
  received.state = std::make_unique<CommandChannel>();
  CommandChannel& state = *received.state;
  state.awaitedAddress = start.awaitedAddress;
  state.bufferWriteIndex = start.bufferWriteIndex;
  state.bufferRing.fill(start.ringFill);
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    lumo::command::ParseReceivedBytes(state, bytes.data() + from, cut - from);
    from = cut;
  }
  lumo::command::ParseReceivedBytes(state, bytes.data() + from, bytes.size() - from);
  return received;
}

void RequireSameReceipt(const Received& whole, const Received& cut) {
  using lumo::fuzz::Require;
  const CommandChannel& a = *whole.state;
  const CommandChannel& b = *cut.state;
  Require(a.responseStore == b.responseStore, "same register responses");
  Require(a.responseArrived == b.responseArrived, "same wake-up of the awaited register");
  Require(a.bufferRing == b.bufferRing, "same buffer ring bytes");
  Require(a.bufferWriteIndex == b.bufferWriteIndex, "same buffer ring write position");
  Require(a.bufferArrived == b.bufferArrived, "same buffer arrival");
  Require(a.rxState == b.rxState && a.rxControl == b.rxControl && a.rxLength == b.rxLength &&
              a.rxExpected == b.rxExpected && a.rxCount == b.rxCount,
          "same receive state");
  Require(a.rxBody == b.rxBody, "same partial frame body");
  Require(whole.log == cut.log, "same console log");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Start start;
  start.awaitedAddress = input.ConsumeIntegral<std::uint32_t>();
  start.bufferWriteIndex = input.ConsumeIntegralInRange<std::uint32_t>(0, 2047);
  start.ringFill = input.ConsumeIntegral<std::uint8_t>();
  std::vector<std::size_t> cuts(input.ConsumeIntegralInRange<std::size_t>(0, 32));
  for (std::size_t& cut : cuts) cut = input.ConsumeIntegral<std::uint16_t>();
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  // Cut points inside the stream, in order; repeated ones give empty transfers.
  for (std::size_t& cut : cuts) cut %= bytes.size() + 1;
  std::sort(cuts.begin(), cuts.end());

  const Received whole = Receive(bytes, {}, start);
  const Received pieces = Receive(bytes, cuts, start);
  RequireSameReceipt(whole, pieces);
  return 0;
}
