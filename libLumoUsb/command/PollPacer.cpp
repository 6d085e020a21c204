#include "command/PollPacer.h"

namespace lumo::command {

namespace {

constexpr std::chrono::microseconds kBackOff[] = {
    std::chrono::microseconds(250),  std::chrono::microseconds(500),
    std::chrono::microseconds(1000), std::chrono::microseconds(2000),
    std::chrono::microseconds(5000), std::chrono::microseconds(10000)};

}  // namespace

void PollPacer::RequestSent() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = 0;
    requestSent_ = true;
  }
  woken_.notify_all();
}

void PollPacer::AnswerTaken() {
  std::lock_guard<std::mutex> lock(mutex_);
  step_ = kIdleStep;
}

void PollPacer::PauseAfterEmptyPoll() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (requestSent_) {
    // A request went out while the reader was polling: poll again at once.
    requestSent_ = false;
    return;
  }
  const std::chrono::microseconds pause = kBackOff[step_];
  if (step_ < kIdleStep) ++step_;
  woken_.wait_for(lock, pause, [&] { return requestSent_; });
  requestSent_ = false;
}

}  // namespace lumo::command
