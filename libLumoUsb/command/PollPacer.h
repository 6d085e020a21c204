// PollPacer: how long the response reader pauses after an IN poll that
// brought nothing. With no request in flight it pauses 10 ms, so an idle
// camera is polled no more often than that. Once a register or buffer
// request has been sent, the reader is woken and polls again at once, then
// backs off (0.25, 0.5, 1, 2, 5, then 10 ms) until the answer arrives: an
// answer is picked up a fraction of a millisecond after the camera queues
// it instead of at the next 10 ms poll.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace lumo::command {

class PollPacer {
 public:
  PollPacer() = default;
  PollPacer(const PollPacer&) = delete;
  PollPacer& operator=(const PollPacer&) = delete;

  // A request went out: wake the reader and restart the back-off.
  void RequestSent();
  // The awaited answer arrived (or its caller stopped waiting): back to the
  // idle pause.
  void AnswerTaken();
  // Called by the reader after an empty or failed poll: waits for the
  // current pause, or less when a request is sent meanwhile.
  void PauseAfterEmptyPoll();

 private:
  static constexpr std::size_t kIdleStep = 5;  // index of the 10 ms pause

  std::mutex mutex_;
  std::condition_variable woken_;
  std::size_t step_ = kIdleStep;
  bool requestSent_ = false;
};

}  // namespace lumo::command
