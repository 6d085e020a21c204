#include "EndpointQueues.h"

#include <algorithm>
#include <utility>

namespace lumo::emulator {

namespace virt = platform::virt;

void EndpointQueues::SubmitIn(std::uint8_t endpoint, const TransferTarget& target) {
  bool blocksWaiting = false;
  InRequestListener* listener = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Endpoint& queue = endpoints_[endpoint];
    queue.pending.push_back(target);
    blocksWaiting = !queue.blocks.empty();
    listener = queue.listener;
  }
  // Without blocks waiting there is nothing to pair: a block pushed later
  // finds this request when its own Deliver runs.
  if (blocksWaiting) Deliver(endpoint);
  if (listener) listener->OnInRequest();
}

bool EndpointQueues::TakePending(std::uint8_t endpoint, TransferTarget& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end() || it->second.pending.empty()) return false;
  target = it->second.pending.front();
  it->second.pending.pop_front();
  return true;
}

void EndpointQueues::ReturnPending(std::uint8_t endpoint, const TransferTarget& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoints_[endpoint].pending.push_front(target);
}

void EndpointQueues::SetInListener(std::uint8_t endpoint, InRequestListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoints_[endpoint].listener = listener;
}

void EndpointQueues::PushIn(std::uint8_t endpoint, std::vector<std::uint8_t> block) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    endpoints_[endpoint].blocks.push_back(std::move(block));
  }
  Deliver(endpoint);
}

void EndpointQueues::Deliver(std::uint8_t endpoint) {
  std::lock_guard<std::mutex> delivery(deliveryMutex_);
  for (;;) {
    TransferTarget target;
    std::vector<std::uint8_t> piece;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Endpoint& queue = endpoints_[endpoint];
      if (queue.pending.empty() || queue.blocks.empty()) return;
      target = queue.pending.front();
      queue.pending.pop_front();
      const auto& block = queue.blocks.front();
      const std::size_t n = std::min<std::size_t>(block.size() - queue.frontTaken, target.capacity);
      const auto first = block.begin() + static_cast<std::ptrdiff_t>(queue.frontTaken);
      piece.assign(first, first + static_cast<std::ptrdiff_t>(n));
    }
    // A request the backend already finished (its handle was closed) takes
    // no data: the piece stays at the front for the next request.
    if (!FinishIn(target, piece.data(), static_cast<std::uint32_t>(piece.size()))) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    Endpoint& queue = endpoints_[endpoint];
    queue.frontTaken += piece.size();
    if (queue.frontTaken == queue.blocks.front().size()) {
      queue.blocks.pop_front();
      queue.frontTaken = 0;
    }
  }
}

std::size_t EndpointQueues::Abort(std::uint8_t endpoint) {
  std::vector<TransferTarget> aborted;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = endpoints_.find(endpoint);
    if (it != endpoints_.end()) {
      RequestRing<TransferTarget>& pending = it->second.pending;
      aborted.reserve(pending.size());
      for (; !pending.empty(); pending.pop_front()) aborted.push_back(pending.front());
    }
  }
  std::size_t count = 0;
  for (const auto& target : aborted)
    if (virt::CompleteRequest(target.id, platform::kErrorOperationAborted)) ++count;
  return count;
}

void EndpointQueues::Clear() {
  std::lock_guard<std::mutex> delivery(deliveryMutex_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& entry : endpoints_) {
    entry.second.pending.clear();
    entry.second.blocks.clear();
    entry.second.frontTaken = 0;
  }
}

void EndpointQueues::RecordOut(std::uint8_t endpoint, std::vector<std::uint8_t> data) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoints_[endpoint].out.push_back(std::move(data));
}

std::vector<std::vector<std::uint8_t>> EndpointQueues::TakeOut(std::uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(endpoints_[endpoint].out, {});
}

void EndpointQueues::SetTransferLength(std::uint8_t endpoint, std::uint32_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  endpoints_[endpoint].transferLength = length;
}

std::uint32_t EndpointQueues::TransferLength(std::uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() ? 0 : it->second.transferLength;
}

std::size_t EndpointQueues::Pending(std::uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  return it == endpoints_.end() ? 0 : it->second.pending.size();
}

std::size_t EndpointQueues::QueuedBytes(std::uint8_t endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end()) return 0;
  std::size_t bytes = 0;
  for (const auto& block : it->second.blocks) bytes += block.size();
  return bytes - it->second.frontTaken;
}

}  // namespace lumo::emulator
