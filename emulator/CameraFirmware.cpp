// The public face of the camera firmware: forwards to CommandFirmware.
#include "lumo/emulator/CameraFirmware.h"

#include <utility>

#include "CommandFirmware.h"
#include "Crc8.h"
#include "FrameCodec.h"

namespace lumo::emulator {

namespace {

// Installed on a device; the firmware it serves belongs to someone else.
class ForwardingHandler : public VendorRequestHandler {
 public:
  explicit ForwardingHandler(CameraFirmware& target) : firmware_(target) {}
  bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) override {
    return firmware_.OnVendorRequest(setup, data);
  }
  void OnAnswered(const SetupPacket& setup) override { firmware_.OnAnswered(setup); }

 private:
  CameraFirmware& firmware_;
};

}  // namespace

std::vector<std::uint8_t> EncodeCameraFrame(const CameraFrame& frame) {
  return codec::Encode(frame);
}

std::uint8_t FrameCheckByte(const std::uint8_t* bytes, std::size_t size) {
  return Crc8(bytes, size);
}

Fault Fault::Next(FaultKind kind, std::uint32_t n) {
  Fault fault;
  fault.kind = kind;
  fault.count = n;
  return fault;
}

Fault Fault::Random(FaultKind kind, double p, std::uint32_t seed, std::uint32_t n) {
  Fault fault;
  fault.kind = kind;
  fault.count = n;
  fault.probability = p;
  fault.seed = seed;
  return fault;
}

InSplit InSplit::Whole() { return InSplit{}; }

InSplit InSplit::Chunks(std::size_t n) {
  InSplit split;
  split.maxBytes = n;
  return split;
}

InSplit InSplit::Random(std::uint32_t seed, std::size_t maxBytes, std::size_t minBytes) {
  InSplit split;
  split.random = true;
  split.seed = seed;
  split.maxBytes = maxBytes;
  split.minBytes = minBytes;
  return split;
}

CameraFirmware::CameraFirmware() : impl_(std::make_unique<CommandFirmware>()) {}
CameraFirmware::~CameraFirmware() = default;

bool CameraFirmware::OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) {
  return impl_->OnVendorRequest(setup, data);
}

void CameraFirmware::OnAnswered(const SetupPacket& setup) { impl_->OnAnswered(setup); }

std::unique_ptr<VendorRequestHandler> CameraFirmware::Handler() {
  return std::make_unique<ForwardingHandler>(*this);
}
void CameraFirmware::SetStreamHandler(std::unique_ptr<VendorRequestHandler> handler) {
  impl_->SetStreamHandler(std::move(handler));
}

void CameraFirmware::SetRegister(std::uint32_t address, std::vector<std::uint8_t> bytes) {
  impl_->SetRegister(address, std::move(bytes));
}
std::optional<std::vector<std::uint8_t>> CameraFirmware::Register(std::uint32_t address) const {
  return impl_->Register(address);
}
void CameraFirmware::ClearRegisters() { impl_->ClearRegisters(); }

void CameraFirmware::SetBufferResponder(BufferResponder responder) {
  impl_->SetBufferResponder(std::move(responder));
}
void CameraFirmware::InjectBufferData(const std::vector<std::uint8_t>& bytes) {
  impl_->InjectBufferData(bytes);
}
void CameraFirmware::InjectRawBytes(const std::vector<std::uint8_t>& bytes) {
  impl_->InjectRawBytes(bytes);
}
bool CameraFirmware::InjectFrame(const CameraFrame& frame) { return impl_->InjectFrame(frame); }
void CameraFirmware::SetInSplit(const InSplit& split) { impl_->SetInSplit(split); }
std::size_t CameraFirmware::QueuedBytes() const { return impl_->QueuedBytes(); }
void CameraFirmware::DiscardOutgoing() { impl_->DiscardOutgoing(); }

void CameraFirmware::InjectFault(Fault fault) { impl_->InjectFault(std::move(fault)); }
void CameraFirmware::ClearFaults() { impl_->ClearFaults(); }
std::size_t CameraFirmware::ActiveFaults() const { return impl_->ActiveFaults(); }

std::vector<HostFrameRecord> CameraFirmware::HostFrames() const { return impl_->HostFrames(); }
std::vector<HostFrameRecord> CameraFirmware::TakeHostFrames() { return impl_->TakeHostFrames(); }
FirmwareCounters CameraFirmware::Counters() const { return impl_->Counters(); }
bool CameraFirmware::WaitUntil(const std::function<bool(const FirmwareCounters&)>& done,
                               std::chrono::milliseconds timeout) const {
  return impl_->WaitUntil(done, timeout);
}
bool CameraFirmware::WaitUntilNothingDelayed(std::chrono::milliseconds timeout) const {
  return impl_->WaitUntilNothingDelayed(timeout);
}
void CameraFirmware::Reset() { impl_->Reset(); }

}  // namespace lumo::emulator
