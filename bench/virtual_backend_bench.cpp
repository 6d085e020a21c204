// Cost of one I/O control request through the virtual backend: the floor
// under every transfer the library makes on emulated devices.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/UniqueHandle.h"
#include "platform/virtual/VirtualBus.h"

namespace {

using namespace lumo::platform;

constexpr Guid kBenchClass = {0xBE, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr char kPath[] = "\\\\?\\bench#device";

// Finishes every request at once, inside the submission, filling the output.
class ImmediateDriver : public virt::VirtualDriver {
 public:
  void OnRequest(const virt::RequestInfo& request) override {
    virt::CompleteRequest(request.id, 0,
                          [](const virt::RequestBuffers& buffers) { return buffers.outSize; });
  }
};

// Finishes requests from a thread of its own, as a device streaming data.
class ThreadedDriver : public virt::VirtualDriver {
 public:
  ThreadedDriver() : worker_([this] { Run(); }) {}
  ~ThreadedDriver() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    condition_.notify_one();
    worker_.join();
  }
  void OnRequest(const virt::RequestInfo& request) override {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_[(head_ + size_++) % queue_.size()] = request.id;
    condition_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      condition_.wait(lock, [this] { return stop_ || size_ != 0; });
      if (stop_) return;
      const virt::RequestId id = queue_[head_];
      head_ = (head_ + 1) % queue_.size();
      --size_;
      lock.unlock();
      virt::CompleteRequest(id, 0,
                            [](const virt::RequestBuffers& buffers) { return buffers.outSize; });
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable condition_;
  // A ring, so that the driver allocates nothing per request either: the
  // benchmarks keep at most 64 requests in flight.
  std::array<virt::RequestId, 256> queue_{};
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  bool stop_ = false;
  std::thread worker_;
};

template <typename Driver>
class Device {
 public:
  Device() {
    virt::Plug(kBenchClass, kPath, &driver_);
    handle_ = OpenDevicePath(kPath);
  }
  ~Device() {
    CloseHandle(handle_);
    virt::Unplug(kPath);
  }
  Handle handle() const { return handle_; }

 private:
  Driver driver_;
  Handle handle_;
};

void BM_SynchronousRequest(benchmark::State& state) {
  Device<ImmediateDriver> device;
  std::uint8_t buffer[64] = {};
  for (auto _ : state) {
    std::uint32_t bytes = 0;
    IoControl(device.handle(), 0x220020, buffer, sizeof(buffer), buffer, sizeof(buffer), &bytes,
              nullptr);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_SynchronousRequest);

// 4096-byte overlapped transfers, `depth` of them in flight, finished by a
// driver thread: bytes per second is the ceiling of an emulated stream.
void BM_OverlappedTransfers(benchmark::State& state) {
  Device<ThreadedDriver> device;
  const int depth = static_cast<int>(state.range(0));
  std::vector<Overlapped> overlapped(depth);
  std::vector<UniqueHandle> events;
  std::vector<std::uint8_t> buffers(static_cast<std::size_t>(depth) * 4096);
  for (int i = 0; i < depth; ++i) {
    events.emplace_back(CreateEventObject(true, false));
    overlapped[i].event = events.back().get();
    IoControl(device.handle(), 0x22004B, &buffers[i * 4096], 38, &buffers[i * 4096], 4096, nullptr,
              &overlapped[i]);
  }
  int next = 0;
  for (auto _ : state) {
    std::uint32_t bytes = 0;
    OverlappedResult(device.handle(), &overlapped[next], &bytes, true);
    IoControl(device.handle(), 0x22004B, &buffers[next * 4096], 38, &buffers[next * 4096], 4096,
              nullptr, &overlapped[next]);
    next = (next + 1) % depth;
  }
  for (auto& entry : overlapped) {
    std::uint32_t bytes = 0;
    OverlappedResult(device.handle(), &entry, &bytes, true);
  }
  state.SetBytesProcessed(state.iterations() * 4096);
}
BENCHMARK(BM_OverlappedTransfers)->Arg(1)->Arg(64)->UseRealTime();

}  // namespace
