// The public face of the image stream: forwards to StreamEngine.
#include "lumo/emulator/CameraStream.h"

#include <utility>

#include "StreamEngine.h"

namespace lumo::emulator {

namespace {

// Installed in the firmware's stream slot; the stream belongs to the device.
class StartRequestHandler : public VendorRequestHandler {
 public:
  explicit StartRequestHandler(StreamEngine& target) : engine_(target) {}
  bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) override {
    return engine_.OnVendorRequest(setup, data);
  }
  void OnAnswered(const SetupPacket& setup) override { engine_.OnAnswered(setup); }

 private:
  StreamEngine& engine_;
};

}  // namespace

StreamFault StreamFault::Next(StreamFaultKind kind, std::uint32_t n) {
  StreamFault fault;
  fault.kind = kind;
  fault.count = n;
  return fault;
}

StreamFault StreamFault::Random(StreamFaultKind kind, double p, std::uint32_t seed,
                                std::uint32_t n) {
  StreamFault fault;
  fault.kind = kind;
  fault.probability = p;
  fault.seed = seed;
  fault.count = n;
  return fault;
}

CameraStream::CameraStream(std::unique_ptr<StreamEngine> engine) : engine_(std::move(engine)) {}
CameraStream::~CameraStream() = default;

std::unique_ptr<VendorRequestHandler> CameraStream::Handler() {
  return std::make_unique<StartRequestHandler>(*engine_);
}
void CameraStream::SetConfig(const StreamConfig& config) { engine_->SetConfig(config); }
StreamConfig CameraStream::Config() const { return engine_->Config(); }
void CameraStream::SetNextFrameNumber(std::uint32_t frameNumber) {
  engine_->SetNextFrameNumber(frameNumber);
}
void CameraStream::InjectFault(const StreamFault& fault) { engine_->InjectFault(fault); }
void CameraStream::ClearFaults() { engine_->ClearFaults(); }
std::size_t CameraStream::ActiveFaults() const { return engine_->ActiveFaults(); }
StreamCounters CameraStream::Counters() const { return engine_->Counters(); }
bool CameraStream::Streaming() const { return engine_->Streaming(); }
bool CameraStream::WaitForFrames(std::uint64_t frames, std::chrono::milliseconds timeout) const {
  return engine_->WaitUntil(
      [frames](const StreamCounters& c) { return c.framesFinished >= frames; }, timeout);
}
bool CameraStream::WaitUntil(const std::function<bool(const StreamCounters&)>& done,
                             std::chrono::milliseconds timeout) const {
  return engine_->WaitUntil(done, timeout);
}
bool CameraStream::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  return engine_->WaitUntilIdle(timeout);
}
std::optional<std::int64_t> CameraStream::HeaderSentNs(std::uint32_t frameNumber) const {
  return engine_->HeaderSentNs(frameNumber);
}
StreamEngine& CameraStream::Engine() { return *engine_; }

}  // namespace lumo::emulator
