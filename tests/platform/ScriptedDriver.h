// A VirtualDriver for backend tests: it keeps every request it receives and
// lets the test finish them when and how it likes. Optionally it finishes
// each request at once, inside the submission.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/virtual/VirtualBus.h"

namespace lumo::test {

class ScriptedDriver : public platform::virt::VirtualDriver {
 public:
  // When set, every request is finished inside OnRequest with this reply.
  void AnswerAtOnce(std::vector<std::uint8_t> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerAtOnce_ = true;
    reply_ = std::move(reply);
  }

  // Makes OnRequest take this long, to hold a thread inside the driver.
  void SetSubmitDelay(std::chrono::milliseconds delay) { delay_ = delay; }

  void OnRequest(const platform::virt::RequestInfo& request) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++entered_;
      condition_.notify_all();
    }
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
    std::vector<std::uint8_t> reply;
    bool atOnce = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(request);
      condition_.notify_all();
      atOnce = answerAtOnce_;
      reply = reply_;
    }
    if (atOnce) Finish(request.id, 0, reply);
  }

  // Finishes a request, copying `reply` into its output buffer.
  static bool Finish(platform::virt::RequestId id, std::uint32_t error,
                     const std::vector<std::uint8_t>& reply = {}) {
    return platform::virt::CompleteRequest(
        id, error, [&](const platform::virt::RequestBuffers& buffers) -> std::uint32_t {
          const std::uint32_t n =
              std::min<std::uint32_t>(buffers.outSize, static_cast<std::uint32_t>(reply.size()));
          if (n) std::memcpy(buffers.out, reply.data(), n);
          return n;
        });
  }

  // Waits until a thread has entered OnRequest (it may still be inside).
  bool WaitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return condition_.wait_for(lock, std::chrono::seconds(10), [&] { return entered_ > 0; });
  }

  // Waits until at least `count` requests have arrived; returns them.
  std::vector<platform::virt::RequestInfo> WaitForRequests(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    condition_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  std::vector<platform::virt::RequestInfo> received_;
  std::size_t entered_ = 0;
  bool answerAtOnce_ = false;
  std::vector<std::uint8_t> reply_;
  std::chrono::milliseconds delay_{0};
};

// A class of its own, so that backend tests do not meet the camera driver's.
constexpr platform::Guid kTestClass = {
    0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x44}};
constexpr platform::Guid kOtherClass = {
    0x87654321, 0x4321, 0x8765, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}};

}  // namespace lumo::test
