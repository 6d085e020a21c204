#include "usb/RequestContext.h"

#include <algorithm>
#include <new>

namespace lumo::usb {

RequestContext::RequestContext(std::uint32_t size, platform::Handle device,
                               platform::Overlapped* overlapped, std::uint8_t endpointAddress)
    : bytes_(new std::uint8_t[std::max<std::uint32_t>(size, kTransferRecordSize)]()),
      size_(std::max<std::uint32_t>(size, kTransferRecordSize)),
      header_(new (bytes_.get()) TransferRecord{}),
      device_(device),
      overlapped_(overlapped),
      endpointAddress_(endpointAddress) {}

bool RequestContext::Outstanding() const {
  return overlapped_ &&
         overlapped_->internal.load(std::memory_order_acquire) == platform::kStatusPending;
}

RequestContext::~RequestContext() {
  if (!Outstanding()) return;
  std::uint8_t address = endpointAddress_;
  platform::IoControl(device_, CODE_ABORT_ENDPOINT, &address, 1, nullptr, 0, nullptr, nullptr);
  std::uint32_t bytes = 0;
  platform::OverlappedResult(device_, overlapped_, &bytes, true);
}

}  // namespace lumo::usb
