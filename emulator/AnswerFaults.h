// The faults tests inject into the camera's answers: which are active, which
// answers they hit, and what they do to a frame before it is encoded and
// queued. Not thread-safe: the firmware guards it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "lumo/emulator/CameraFirmware.h"

namespace lumo::emulator {

// An answer after the faults that hit it.
struct FaultedAnswer {
  CameraFrame frame;
  bool dropped = false;
  std::uint8_t checkMask = 0;       // XORed into the check byte
  std::vector<std::uint8_t> stray;  // sent before the flag
  std::chrono::milliseconds delay{0};
};

class AnswerFaults {
 public:
  void Add(Fault fault);
  void Clear();
  std::size_t Active() const;

  // Runs `frame` through the active faults, in the order they were added;
  // `buffer` tells a buffer-channel answer from a register answer.
  FaultedAnswer Apply(CameraFrame frame, bool buffer);

 private:
  struct ActiveFault {
    Fault fault;
    std::mt19937 random;
    std::uint32_t hits = 0;
  };

  static bool Applies(const ActiveFault& active, const FaultedAnswer& answer, bool buffer);
  bool Draw(ActiveFault& active);
  static void Hit(const Fault& fault, FaultedAnswer& answer);

  std::vector<ActiveFault> faults_;
};

}  // namespace lumo::emulator
