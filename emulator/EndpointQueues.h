// Transfers pending on the device's endpoints, the data waiting for them,
// and what OUT requests carried.
//
// An IN request waits in its endpoint's queue until a data source serves
// it. Tests push blocks (PushIn): requests and blocks meet in FIFO order and
// the queues complete requests themselves, on the thread that supplied the
// second half of a pair. The camera's image stream instead takes pending
// requests (TakePending) and completes them itself; the queues tell it
// when a request arrives.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "TransferReplies.h"

namespace lumo::emulator {

// Told when an IN request starts waiting on an endpoint. Called on the
// submitting thread with no lock of the queues held; must not block long.
class InRequestListener {
 public:
  virtual ~InRequestListener() = default;
  virtual void OnInRequest() = 0;
};

// A FIFO of requests that allocates only when it outgrows its capacity, so
// that a steady stream of requests costs no allocation.
template <typename T>
class RequestRing {
 public:
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  const T& front() const { return items_[head_]; }
  void pop_front() {
    head_ = (head_ + 1) % items_.size();
    --size_;
  }
  void push_back(const T& item) {
    if (size_ == items_.size()) Grow();
    items_[(head_ + size_) % items_.size()] = item;
    ++size_;
  }
  void push_front(const T& item) {
    if (size_ == items_.size()) Grow();
    head_ = (head_ + items_.size() - 1) % items_.size();
    items_[head_] = item;
    ++size_;
  }
  void clear() {
    head_ = 0;
    size_ = 0;
  }

 private:
  void Grow() {
    std::vector<T> grown(std::max<std::size_t>(16, items_.size() * 2));
    for (std::size_t i = 0; i < size_; ++i) grown[i] = items_[(head_ + i) % items_.size()];
    items_.swap(grown);
    head_ = 0;
  }

  std::vector<T> items_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

class EndpointQueues {
 public:
  // Queues an IN request; completes it at once if data is waiting.
  void SubmitIn(std::uint8_t endpoint, const TransferTarget& target);
  // Adds a block for an IN endpoint and completes the requests it serves.
  void PushIn(std::uint8_t endpoint, std::vector<std::uint8_t> block);
  // Completes every pending request of `endpoint` with ERROR_OPERATION_ABORTED;
  // returns how many.
  std::size_t Abort(std::uint8_t endpoint);
  // Drops pending requests and waiting data of every endpoint, without
  // completing anything: the device is gone and the backend failed them.
  void Clear();

  // Takes the oldest pending request of `endpoint`; false if none waits.
  bool TakePending(std::uint8_t endpoint, TransferTarget& target);
  // Puts a request taken with TakePending back at the front of the queue.
  void ReturnPending(std::uint8_t endpoint, const TransferTarget& target);
  // Installs the listener of `endpoint`'s requests; nullptr removes it. The
  // listener must stay valid until it is removed.
  void SetInListener(std::uint8_t endpoint, InRequestListener* listener);

  void RecordOut(std::uint8_t endpoint, std::vector<std::uint8_t> data);
  std::vector<std::vector<std::uint8_t>> TakeOut(std::uint8_t endpoint);

  void SetTransferLength(std::uint8_t endpoint, std::uint32_t length);
  std::uint32_t TransferLength(std::uint8_t endpoint) const;

  std::size_t Pending(std::uint8_t endpoint) const;
  std::size_t QueuedBytes(std::uint8_t endpoint) const;

 private:
  struct Endpoint {
    RequestRing<TransferTarget> pending;
    std::deque<std::vector<std::uint8_t>> blocks;
    std::size_t frontTaken = 0;  // bytes of blocks.front() already delivered
    std::vector<std::vector<std::uint8_t>> out;
    std::uint32_t transferLength = 0;
    InRequestListener* listener = nullptr;
  };

  // Pairs pending requests with waiting data until one side runs out.
  void Deliver(std::uint8_t endpoint);

  // Serialises Deliver and Clear, so that the front block only changes in
  // the thread that completes requests from it. Completions run with it
  // held; that is safe because completing a request never calls back into
  // the driver and nothing that holds the backend's locks waits for it.
  std::mutex deliveryMutex_;
  mutable std::mutex mutex_;  // guards endpoints_; never held while completing
  std::map<std::uint8_t, Endpoint> endpoints_;
};

}  // namespace lumo::emulator
