// Ctrl-C while a command runs: noted, so that the command can stop its
// work cleanly (stop acquisition, close the camera) and say so.
#pragma once

namespace lumo::tool {

class InterruptGuard {
 public:
  // Notes SIGINT from now on instead of ending the process.
  InterruptGuard();
  // Restores what SIGINT did before.
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

  static bool Interrupted();

 private:
  void (*previous_)(int);
};

}  // namespace lumo::tool
