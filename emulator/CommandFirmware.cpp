#include "CommandFirmware.h"

#include <algorithm>
#include <utility>

#include "FrameCodec.h"

namespace lumo::emulator {

namespace {

bool IsCommandChannel(const SetupPacket& setup) {
  return setup.request == kCommandRequest && setup.value == kCommandValue && setup.index == 0;
}

// What the camera makes of a decoded host frame: empty if it serves it,
// otherwise why it does not.
std::string Judge(const codec::DecodedFrame& frame) {
  if (frame.version != 0) return "version " + std::to_string(frame.version);
  if (frame.address > 0xFFFFFFFFu) return "address beyond 32 bits";
  const bool bufferChannel = frame.address == kBufferChannelAddress;
  switch (frame.type) {
    case FrameType::kRegisterWrite:
      if (bufferChannel) return "register write to the buffer channel";
      return {};
    case FrameType::kRegisterRead:
      if (bufferChannel) return "register read of the buffer channel";
      if (!frame.data.empty()) return "register read carrying data";
      return {};
    case FrameType::kBufferData: {
      if (!bufferChannel) return "buffer data to a register address";
      const auto& d = frame.data;
      if (d.size() < 2 || std::size_t{d[0]} != d.size() - 2 || d[1] != 0)
        return "malformed buffer header";
      if (d[0] > kMaxBufferPayload) return "buffer payload too long";
      return {};
    }
    case FrameType::kWithStatus:
      return "status frame from the host";
  }
  return "unknown frame type";
}

CameraFrame BufferFrame(std::vector<std::uint8_t> bytes) {
  CameraFrame frame;
  frame.type = FrameType::kBufferData;
  frame.address = kBufferChannelAddress;
  frame.check = false;
  frame.data = std::move(bytes);
  return frame;
}

}  // namespace

bool CommandFirmware::OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) {
  if (!IsCommandChannel(setup)) return ServeStream(setup, data);
  if (setup.requestType == kCommandOutRequestType) {
    ReceiveFrame(data);
    return true;
  }
  if (setup.requestType == kCommandInRequestType) {
    data = SendBytes(setup.length);
    return true;
  }
  return false;  // the channel's request with another recipient or type
}

bool CommandFirmware::ServeStream(const SetupPacket& setup, std::vector<std::uint8_t>& data) {
  std::lock_guard<std::mutex> lock(streamMutex_);
  return stream_ && stream_->OnVendorRequest(setup, data);
}

void CommandFirmware::OnAnswered(const SetupPacket& setup) {
  if (IsCommandChannel(setup)) return;
  std::lock_guard<std::mutex> lock(streamMutex_);
  if (stream_) stream_->OnAnswered(setup);
}

void CommandFirmware::SetStreamHandler(std::unique_ptr<VendorRequestHandler> handler) {
  std::unique_ptr<VendorRequestHandler> old;
  {
    std::lock_guard<std::mutex> lock(streamMutex_);
    old = std::exchange(stream_, std::move(handler));
  }
}

void CommandFirmware::ReceiveFrame(const std::vector<std::uint8_t>& raw) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++counters_.framesReceived;
  countersChanged_.notify_all();  // also covers framesRejected, counted below
  HostFrameRecord record;
  record.raw = raw;
  codec::DecodeResult decoded = codec::DecodeOne(raw);
  record.problem = decoded.frame ? Judge(*decoded.frame) : decoded.problem;
  if (!record.problem.empty()) {
    ++counters_.framesRejected;
    RecordLocked(std::move(record));
    return;
  }

  const codec::DecodedFrame& frame = *decoded.frame;
  record.accepted = true;
  record.control = frame.control;
  record.type = frame.type;
  record.address = static_cast<std::uint32_t>(frame.address);
  record.data = frame.data;
  RecordLocked(std::move(record));

  CameraFrame answer;
  answer.type = frame.type;
  answer.address = frame.address;
  switch (frame.type) {
    case FrameType::kRegisterWrite:
      registers_[answer.address & 0xFFFFFFFFu] = frame.data;
      answer.data = frame.data;
      AnswerLocked(std::move(answer), false);
      return;
    case FrameType::kRegisterRead: {
      auto it = registers_.find(static_cast<std::uint32_t>(frame.address));
      answer.data = it != registers_.end() ? it->second : std::vector<std::uint8_t>(4, 0);
      AnswerLocked(std::move(answer), false);
      return;
    }
    case FrameType::kBufferData: {
      const std::vector<std::uint8_t> payload(frame.data.begin() + 2, frame.data.end());
      CameraFirmware::BufferResponder responder = responder_;
      std::optional<std::vector<std::uint8_t>> reply = payload;  // loopback
      if (responder) {
        lock.unlock();
        reply = responder(payload);
        lock.lock();
      }
      if (reply) SendBufferLocked(*reply, true);
      return;
    }
    case FrameType::kWithStatus:  // rejected above
      return;
  }
}

std::vector<std::uint8_t> CommandFirmware::SendBytes(std::size_t requested) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.inTransfers;
  std::vector<std::uint8_t> bytes = outgoing_.Take(requested, OutgoingStream::Clock::now());
  counters_.bytesSent += bytes.size();
  countersChanged_.notify_all();
  return bytes;
}

void CommandFirmware::RecordLocked(HostFrameRecord record) {
  if (records_.size() == CameraFirmware::kRecordLimit) records_.pop_front();
  records_.push_back(std::move(record));
}

void CommandFirmware::AnswerLocked(CameraFrame frame, bool buffer) {
  FaultedAnswer answer = faults_.Apply(std::move(frame), buffer);
  if (answer.dropped) {
    ++counters_.answersDropped;
    countersChanged_.notify_all();
    return;
  }
  if (answer.checkMask != 0 && answer.frame.check) ++counters_.answersCorrupted;
  std::vector<std::uint8_t> bytes = std::move(answer.stray);
  const std::vector<std::uint8_t> encoded = codec::Encode(answer.frame, answer.checkMask);
  bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  QueueLocked(std::move(bytes), answer.delay);
}

void CommandFirmware::SendBufferLocked(const std::vector<std::uint8_t>& bytes, bool answer) {
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(kMaxFrameData, bytes.size() - at);
    const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(at);
    CameraFrame frame =
        BufferFrame(std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(n)));
    if (answer)
      AnswerLocked(std::move(frame), true);
    else
      QueueLocked(codec::Encode(frame), {});
    at += n;
  } while (at < bytes.size());
}

void CommandFirmware::QueueLocked(std::vector<std::uint8_t> encoded,
                                  OutgoingStream::Clock::duration delay) {
  ++counters_.answersSent;
  outgoing_.Push(std::move(encoded), OutgoingStream::Clock::now() + delay);
  countersChanged_.notify_all();
}

void CommandFirmware::SetRegister(std::uint32_t address, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  registers_[address] = std::move(bytes);
}

std::optional<std::vector<std::uint8_t>> CommandFirmware::Register(std::uint32_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = registers_.find(address);
  if (it == registers_.end()) return std::nullopt;
  return it->second;
}

void CommandFirmware::ClearRegisters() {
  std::lock_guard<std::mutex> lock(mutex_);
  registers_.clear();
}

void CommandFirmware::SetBufferResponder(CameraFirmware::BufferResponder responder) {
  CameraFirmware::BufferResponder old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::exchange(responder_, std::move(responder));
  }
}

void CommandFirmware::InjectBufferData(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  SendBufferLocked(bytes, false);
}

void CommandFirmware::InjectRawBytes(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  outgoing_.Push(bytes, OutgoingStream::Clock::now());
}

bool CommandFirmware::InjectFrame(const CameraFrame& frame) {
  std::vector<std::uint8_t> encoded = codec::Encode(frame);
  if (encoded.empty()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  QueueLocked(std::move(encoded), {});
  return true;
}

void CommandFirmware::SetInSplit(const InSplit& split) {
  std::lock_guard<std::mutex> lock(mutex_);
  outgoing_.SetSplit(split);
}

std::size_t CommandFirmware::QueuedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outgoing_.Queued();
}

void CommandFirmware::DiscardOutgoing() {
  std::lock_guard<std::mutex> lock(mutex_);
  outgoing_.Clear();
}

void CommandFirmware::InjectFault(Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.Add(std::move(fault));
}

void CommandFirmware::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.Clear();
}

std::size_t CommandFirmware::ActiveFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_.Active();
}

std::vector<HostFrameRecord> CommandFirmware::HostFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<HostFrameRecord>(records_.begin(), records_.end());
}

std::vector<HostFrameRecord> CommandFirmware::TakeHostFrames() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HostFrameRecord> taken(std::make_move_iterator(records_.begin()),
                                     std::make_move_iterator(records_.end()));
  records_.clear();
  return taken;
}

FirmwareCounters CommandFirmware::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

bool CommandFirmware::WaitUntil(const std::function<bool(const FirmwareCounters&)>& done,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return countersChanged_.wait_for(lock, timeout, [&] { return done(counters_); });
}

bool CommandFirmware::WaitUntilNothingDelayed(std::chrono::milliseconds timeout) const {
  using Clock = OutgoingStream::Clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Nothing signals a segment coming due: sleep until the latest one
    // does, then look again, as a delayed answer may have been queued since.
    const Clock::time_point due = outgoing_.LastDue();
    const Clock::time_point now = Clock::now();
    if (due <= now) return true;
    if (now >= deadline) return false;
    countersChanged_.wait_until(lock, std::min(due, deadline));
  }
}

void CommandFirmware::Reset() {
  CameraFirmware::BufferResponder old;
  std::lock_guard<std::mutex> lock(mutex_);
  registers_.clear();
  old = std::exchange(responder_, nullptr);
  outgoing_.Clear();
  outgoing_.SetSplit(InSplit{});
  faults_.Clear();
  records_.clear();
  counters_ = FirmwareCounters{};
  countersChanged_.notify_all();
}

}  // namespace lumo::emulator
