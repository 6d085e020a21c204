#include "EmulatedDriver.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "DriverWire.h"

namespace lumo::emulator {

namespace virt = platform::virt;

namespace {

constexpr std::uint32_t kTextSize = 256;

bool Fail(const virt::RequestInfo& request, std::uint32_t error) {
  return virt::CompleteRequest(request.id, error);
}

// The fields of a transfer header the driver acts on.
struct Header {
  SetupPacket setup;
  std::uint8_t endpoint = 0;
  std::uint32_t tableOffset = 0;
  std::uint32_t tableLength = 0;
  std::uint32_t dataOffset = 0;
  std::uint32_t dataLength = 0;
};

std::optional<Header> ReadHeader(const virt::RequestInfo& request) {
  if (!request.input || request.inSize < wire::kHeaderSize) return std::nullopt;
  const std::uint8_t* in = request.input;
  Header header;
  header.setup.requestType = in[wire::kSetupOffset];
  header.setup.request = in[wire::kSetupOffset + 1];
  header.setup.value = wire::Le16(in + wire::kSetupOffset + 2);
  header.setup.index = wire::Le16(in + wire::kSetupOffset + 4);
  header.setup.length = wire::Le16(in + wire::kSetupOffset + 6);
  header.endpoint = in[wire::kEndpointOffset];
  header.tableOffset = wire::Le32(in + wire::kTableOffsetOffset);
  header.tableLength = wire::Le32(in + wire::kTableLengthOffset);
  header.dataOffset = wire::Le32(in + wire::kDataOffsetOffset);
  header.dataLength = wire::Le32(in + wire::kDataLengthOffset);
  // The packet table, when there is one, lies inside the input.
  if (header.tableLength != 0 &&
      (header.tableOffset < wire::kHeaderSize ||
       std::uint64_t{header.tableOffset} + header.tableLength > request.inSize))
    return std::nullopt;
  return header;
}

// Checks the data area of an in=out request and fills in a missing offset
// (a request without data may leave it 0: the data would follow the header).
bool InOutDataFits(const virt::RequestInfo& request, Header& header) {
  if (header.dataOffset == 0 && header.dataLength == 0) header.dataOffset = wire::kHeaderSize;
  return header.dataOffset >= wire::kHeaderSize && request.outSize >= request.inSize &&
         std::uint64_t{header.dataOffset} + header.dataLength <= request.inSize;
}

std::vector<std::uint8_t> Le32Bytes(std::uint32_t value) {
  std::vector<std::uint8_t> bytes(4);
  wire::PutLe32(bytes.data(), value);
  return bytes;
}

std::vector<std::uint8_t> Text(const char* text) {
  std::vector<std::uint8_t> bytes(kTextSize, 0);
  std::memcpy(bytes.data(), text, std::min<std::size_t>(std::strlen(text), kTextSize - 1));
  return bytes;
}

}  // namespace

EmulatedDriver::EmulatedDriver(ControlRequests& control, EndpointQueues& queues, DeviceGate& gate)
    : control_(control), queues_(queues), gate_(gate) {}

std::uint32_t EmulatedDriver::OnHandleOpened() { return gate_.PassOpen(); }

void EmulatedDriver::OnRequest(const virt::RequestInfo& request) {
  // A slow device keeps synchronous callers waiting; overlapped requests
  // (the stream) are queued as usual. A wait cut short by the unplug leaves
  // the request outstanding: the bus's unplug, which follows at once, fails
  // it with ERROR_GEN_FAILURE, and the caller can issue nothing else before
  // the bus refuses new requests.
  if (!request.overlapped && gate_.Pass() == DeviceGate::Passage::kCut) return;
  switch (request.code) {
    case wire::kDriverInfoA: {
      const auto answer = Le32Bytes(kDriverValueA);
      return AnswerBytes(request, answer.data(), 4);
    }
    case wire::kDriverInfoB: {
      const auto answer = Le32Bytes(kDriverValueB);
      return AnswerBytes(request, answer.data(), 4);
    }
    case wire::kDeviceState: {
      const auto answer = Le32Bytes(kDeviceStateValue);
      return AnswerBytes(request, answer.data(), 4);
    }
    case wire::kDriverInfoByte:
      return AnswerBytes(request, &kDriverByte, 1);
    case wire::kGetAlternate: {
      const std::uint8_t alternate = control_.DriverAlternate();
      return AnswerBytes(request, &alternate, 1);
    }
    case wire::kDriverTextA: {
      const auto text = Text(kDriverTextA);
      return AnswerBytes(request, text.data(), kTextSize);
    }
    case wire::kDriverTextB: {
      const auto text = Text(kDriverTextB);
      return AnswerBytes(request, text.data(), kTextSize);
    }
    case wire::kControlTransfer:
      return Control(request);
    case wire::kBufferedTransfer:
      return Transfer(request, false);
    case wire::kDirectTransfer:
      return Transfer(request, true);
    case wire::kSetTransferLength:
      return SetTransferLength(request);
    case wire::kAbortEndpoint:
      return AbortEndpoint(request);
    default:
      refused_.fetch_add(1, std::memory_order_relaxed);
      Fail(request, platform::kErrorInvalidFunction);
  }
}

// Writes a fixed answer. The codes are in=out: the byte count is the size
// the caller sent, which is what a synchronous caller checks for.
void EmulatedDriver::AnswerBytes(const virt::RequestInfo& request, const std::uint8_t* answer,
                                 std::uint32_t size) {
  if (request.outSize < size) {
    Fail(request, platform::kErrorInsufficientBuffer);
    return;
  }
  virt::CompleteRequest(request.id, platform::kErrorSuccess,
                        [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                          std::memmove(buffers.out, answer, size);
                          return buffers.inSize ? buffers.inSize : size;
                        });
}

void EmulatedDriver::Control(const virt::RequestInfo& request) {
  std::optional<Header> header = ReadHeader(request);
  if (!header || !InOutDataFits(request, *header)) {
    Fail(request, platform::kErrorInvalidParameter);
    return;
  }
  const SetupPacket& setup = header->setup;
  const bool in = (setup.requestType & 0x80) != 0;
  // The data stage moves at most wLength bytes and at most what the buffer holds.
  const std::uint32_t stage = std::min<std::uint32_t>(setup.length, header->dataLength);
  std::vector<std::uint8_t> outData;
  if (!in)
    outData.assign(request.input + header->dataOffset, request.input + header->dataOffset + stage);

  const ControlOutcome outcome = control_.Handle(setup, outData);
  TransferTarget target;
  target.id = request.id;
  target.dataOffset = header->dataOffset;
  target.capacity = stage;
  if (outcome.stalled) {
    Stall(target);
    return;
  }
  if (in) {
    FinishIn(target, outcome.inData.data(), static_cast<std::uint32_t>(outcome.inData.size()));
  } else {
    FinishOut(target, nullptr);
  }
  control_.Answered(setup);
}

void EmulatedDriver::Transfer(const virt::RequestInfo& request, bool direct) {
  std::optional<Header> header = ReadHeader(request);
  if (!header || header->endpoint == 0 || (!direct && !InOutDataFits(request, *header))) {
    Fail(request, platform::kErrorInvalidParameter);
    return;
  }
  TransferTarget target;
  target.id = request.id;
  target.direct = direct;
  target.capacity = direct ? request.outSize : header->dataLength;
  target.dataOffset = direct ? 0 : header->dataOffset;
  const std::uint8_t address = header->endpoint;
  const std::optional<EndpointLayout> endpoint = control_.ActiveEndpoint(address);
  if (!endpoint) {
    Stall(target);
    return;
  }
  if (endpoint->IsIsochronous()) {
    target.tableOffset = header->tableOffset;
    target.tableLength = header->tableLength;
    target.packetSize = static_cast<std::uint16_t>(endpoint->maxPacketSize & 0x7FF);
  }
  if (endpoint->IsIn()) {
    queues_.SubmitIn(address, target);
    return;
  }
  std::vector<std::uint8_t> data;
  if (FinishOut(target, &data)) queues_.RecordOut(address, std::move(data));
}

void EmulatedDriver::SetTransferLength(const virt::RequestInfo& request) {
  if (!request.input || request.inSize < 5) {
    Fail(request, platform::kErrorInvalidParameter);
    return;
  }
  queues_.SetTransferLength(request.input[0], wire::Le32(request.input + 1));
  virt::CompleteRequest(request.id, platform::kErrorSuccess,
                        [](const virt::RequestBuffers& buffers) { return buffers.inSize; });
}

void EmulatedDriver::AbortEndpoint(const virt::RequestInfo& request) {
  if (!request.input || request.inSize < 1) {
    Fail(request, platform::kErrorInvalidParameter);
    return;
  }
  aborted_.fetch_add(queues_.Abort(request.input[0]), std::memory_order_relaxed);
  virt::CompleteRequest(request.id, platform::kErrorSuccess);
}

void EmulatedDriver::Stall(const TransferTarget& target) {
  stalled_.fetch_add(1, std::memory_order_relaxed);
  FinishStalled(target);
}

}  // namespace lumo::emulator
