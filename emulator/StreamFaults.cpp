#include "StreamFaults.h"

#include <algorithm>

namespace lumo::emulator {

void StreamFaults::Add(const StreamFault& fault) {
  faults_.push_back(ActiveFault{fault, std::mt19937(fault.seed), 0});
}

void StreamFaults::Clear() { faults_.clear(); }

std::size_t StreamFaults::Active() const { return faults_.size(); }

bool StreamFaults::Targets(const StreamFault& fault, bool headerBlock) {
  if (fault.kind != StreamFaultKind::kDropBlock && fault.kind != StreamFaultKind::kDuplicateBlock)
    return true;
  switch (fault.blocks) {
    case BlockTarget::kAnyBlock:
      return true;
    case BlockTarget::kHeaderBlocks:
      return headerBlock;
    case BlockTarget::kDataBlocks:
      return !headerBlock;
  }
  return false;
}

bool StreamFaults::Chance(ActiveFault& active) {
  const double p = active.fault.probability;
  if (p >= 1.0) return true;
  if (p <= 0.0) return false;
  // 32 random bits as a fraction of 2^32; the same on every standard library.
  return static_cast<double>(active.random()) < p * 4294967296.0;
}

std::optional<StreamFault> StreamFaults::Draw(StreamFaultKind kind, bool headerBlock) {
  std::optional<StreamFault> hit;
  bool spent = false;
  for (ActiveFault& active : faults_) {
    if (active.fault.kind != kind || !Targets(active.fault, headerBlock)) continue;
    if (!Chance(active)) continue;
    ++active.hits;
    if (active.fault.count != 0 && active.hits >= active.fault.count) spent = true;
    if (!hit) hit = active.fault;
  }
  if (spent)
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                                 [](const ActiveFault& a) {
                                   return a.fault.count != 0 && a.hits >= a.fault.count;
                                 }),
                  faults_.end());
  return hit;
}

}  // namespace lumo::emulator
