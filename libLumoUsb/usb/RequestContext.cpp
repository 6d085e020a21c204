#include "usb/RequestContext.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define LUMO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LUMO_ADDRESS_SANITIZER 1
#endif
#endif

namespace lumo::usb {

namespace {

// Under AddressSanitizer every context is a fresh allocation and every
// released one is really freed, so that a record used after its release
// is reported instead of hidden by recycling.
#ifdef LUMO_ADDRESS_SANITIZER
constexpr bool kRecycleContexts = false;
#else
constexpr bool kRecycleContexts = true;
#endif

// Freed contexts kept for the next request. Process-wide and never
// destroyed: a per-thread cache would need thread_local objects with
// destructors, which mingw-w64's emulated TLS may run after their storage
// is gone.
class ContextPool {
 public:
  static ContextPool& Instance() {
    static ContextPool* pool = new ContextPool;  // lives until the process ends
    return *pool;
  }
  void* Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return nullptr;
    void* pointer = free_.back();
    free_.pop_back();
    return pointer;
  }
  bool Keep(void* pointer) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() >= kLimit) return false;
    free_.push_back(pointer);
    return true;
  }

 private:
  static constexpr std::size_t kLimit = 256;
  std::mutex mutex_;
  std::vector<void*> free_;
};

}  // namespace

void* RequestContext::operator new(std::size_t size) {
  if (kRecycleContexts) {
    if (void* pointer = ContextPool::Instance().Take()) return pointer;
  }
  return ::operator new(size);
}

void RequestContext::operator delete(void* pointer, std::size_t) {
  if (!kRecycleContexts || !ContextPool::Instance().Keep(pointer)) ::operator delete(pointer);
}

RequestContext::RequestContext(std::uint32_t size, platform::Handle device,
                               platform::Overlapped* overlapped, std::uint8_t endpointAddress)
    : size_(std::max<std::uint32_t>(size, kTransferRecordSize)),
      device_(device),
      overlapped_(overlapped),
      endpointAddress_(endpointAddress) {
  if (size_ <= kInlineRecordSize) {
    bytes_ = inline_;
    std::memset(inline_, 0, size_);
  } else {
    heap_.reset(new std::uint8_t[size_]());
    bytes_ = heap_.get();
  }
  header_ = new (bytes_) TransferRecord{};
}

bool RequestContext::Outstanding() const {
  return overlapped_ && platform::IsPending(*overlapped_);
}

RequestContext::~RequestContext() {
  if (!Outstanding()) return;
  std::uint8_t address = endpointAddress_;
  platform::IoControl(device_, CODE_ABORT_ENDPOINT, &address, 1, nullptr, 0, nullptr, nullptr);
  std::uint32_t bytes = 0;
  platform::OverlappedResult(device_, overlapped_, &bytes, true);
}

}  // namespace lumo::usb
