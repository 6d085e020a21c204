#include "AnswerFaults.h"

#include <algorithm>
#include <utility>

namespace lumo::emulator {

void AnswerFaults::Add(Fault fault) {
  const std::uint32_t seed = fault.seed;
  faults_.push_back(ActiveFault{std::move(fault), std::mt19937(seed), 0});
}

void AnswerFaults::Clear() { faults_.clear(); }

std::size_t AnswerFaults::Active() const { return faults_.size(); }

bool AnswerFaults::Applies(const ActiveFault& active, const FaultedAnswer& answer, bool buffer) {
  const Fault& fault = active.fault;
  if (fault.target == FaultTarget::kRegisterAnswers && buffer) return false;
  if (fault.target == FaultTarget::kBufferAnswers && !buffer) return false;
  if (fault.kind == FaultKind::kCorruptCheck && !answer.frame.check) return false;
  return true;
}

bool AnswerFaults::Draw(ActiveFault& active) {
  const double p = active.fault.probability;
  if (p >= 1.0) return true;
  if (p <= 0.0) return false;
  // 32 random bits as a fraction of 2^32; the same on every standard library.
  return static_cast<double>(active.random()) < p * 4294967296.0;
}

void AnswerFaults::Hit(const Fault& fault, FaultedAnswer& answer) {
  CameraFrame& frame = answer.frame;
  switch (fault.kind) {
    case FaultKind::kCorruptCheck:
      answer.checkMask = 0xFF;
      break;
    case FaultKind::kDropAnswer:
      answer.dropped = true;
      break;
    case FaultKind::kWrongAddress:
      frame.address = fault.address ? *fault.address : (frame.address ^ 0x80000000u);
      break;
    case FaultKind::kVersionBits:
      frame.version = static_cast<std::uint8_t>((fault.version & 3) ? (fault.version & 3) : 1);
      break;
    case FaultKind::kStrayBytes:
      answer.stray.insert(answer.stray.end(), fault.stray.begin(), fault.stray.end());
      break;
    case FaultKind::kDelay:
      answer.delay += fault.delay;
      break;
    case FaultKind::kStatusFrame:
      frame.type = FrameType::kWithStatus;
      frame.status = fault.status;
      break;
    case FaultKind::kAddressWidth: {
      const std::uint8_t width = fault.addressBytes;
      if (width != 2 && width != 6 && width != 8) break;
      frame.addressBytes = width;
      const std::uint64_t low = frame.address & 0xFFFFFFFFu;
      frame.address =
          width == 2 ? (low & 0xFFFF) : ((std::uint64_t{fault.upperAddress} << 32) | low);
      break;
    }
  }
}

FaultedAnswer AnswerFaults::Apply(CameraFrame frame, bool buffer) {
  FaultedAnswer answer;
  answer.frame = std::move(frame);
  for (ActiveFault& active : faults_) {
    if (!Applies(active, answer, buffer) || !Draw(active)) continue;
    Hit(active.fault, answer);
    ++active.hits;
  }
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                               [](const ActiveFault& a) {
                                 return a.fault.count != 0 && a.hits >= a.fault.count;
                               }),
                faults_.end());
  return answer;
}

}  // namespace lumo::emulator
