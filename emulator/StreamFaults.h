// The faults tests inject into the image stream: which are active, and
// whether one hits a given chance. Not thread-safe: the stream guards it.
#pragma once

#include <cstddef>
#include <optional>
#include <random>
#include <vector>

#include "lumo/emulator/CameraStream.h"

namespace lumo::emulator {

class StreamFaults {
 public:
  void Add(const StreamFault& fault);
  void Clear();
  std::size_t Active() const;
  bool Any() const { return !faults_.empty(); }

  // One chance for faults of `kind`: every active one of that kind draws,
  // in the order they were added; returns the first that hit. `headerBlock`
  // tells block faults which block the chance is for.
  std::optional<StreamFault> Draw(StreamFaultKind kind, bool headerBlock = false);

 private:
  struct ActiveFault {
    StreamFault fault;
    std::mt19937 random;
    std::uint32_t hits = 0;
  };

  static bool Targets(const StreamFault& fault, bool headerBlock);
  static bool Chance(ActiveFault& active);

  std::vector<ActiveFault> faults_;
};

}  // namespace lumo::emulator
