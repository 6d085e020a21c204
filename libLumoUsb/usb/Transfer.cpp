#include "usb/Transfer.h"

#include "usb/ControlEndPoint.h"
#include "usb/EndPoint.h"

namespace lumo::usb {

namespace {

// Clears the endpoint's results of an earlier request, so that only this
// submission's outcome is looked at.
void ClearResults(CLumoUSBEndPoint& endpoint) {
  endpoint.DriverStatus = 0;
  endpoint.BusStatus = 0;
  endpoint.BytesDone = 0;
  endpoint.OsError = 0;
}

}  // namespace

Transfer::Transfer() : event_(platform::CreateEventObject(false, false)) {
  overlapped_.event = event_.get();
}

// The request record's own destructor cancels and awaits a request the
// driver still holds, before the overlapped record and event go away.
Transfer::~Transfer() { request_.reset(); }

void Transfer::Submitted(CLumoUSBEndPoint& endpoint, RequestHandle request) {
  endpoint_ = &endpoint;
  request_ = std::move(request);
  submitError_ = endpoint.OsError;
  if (request_ && (endpoint.DriverStatus != 0 || endpoint.BusStatus != 0)) request_.reset();
}

bool Transfer::Begin(CLumoUSBEndPoint& endpoint, std::uint8_t* buffer, std::uint32_t length) {
  request_.reset();
  ClearResults(endpoint);
  Submitted(endpoint, endpoint.BeginTransfer(buffer, length, &overlapped_));
  return Active();
}

bool Transfer::BeginControl(CLumoControlEndPoint& endpoint, const ControlSetup& setup,
                            std::uint8_t* buffer, std::uint32_t length) {
  request_.reset();
  ClearResults(endpoint);
  Submitted(endpoint, endpoint.BeginControl(setup, buffer, length, &overlapped_));
  return Active();
}

bool Transfer::Wait(std::uint32_t timeoutMs) {
  if (!request_) return false;
  if (!platform::IsPending(overlapped_)) return true;
  platform::WaitForEvent(event_.get(), timeoutMs);
  return !platform::IsPending(overlapped_);
}

void Transfer::Cancel() {
  if (endpoint_) endpoint_->AbortPending();
}

bool Transfer::Await(std::uint32_t timeoutMs, std::uint32_t graceMs) {
  if (Wait(timeoutMs)) return true;
  if (!request_) return false;
  Cancel();
  Wait(graceMs);
  return false;
}

bool Transfer::Finish(std::uint8_t* buffer, std::uint32_t* length, std::uint8_t* packetInfo) {
  if (!request_ || !endpoint_) {
    if (length) *length = 0;
    return false;
  }
  const bool succeeded =
      endpoint_->FinishTransfer(buffer, length, &overlapped_, request_, packetInfo);
  request_.reset();  // still running: cancelled and awaited here
  return succeeded;
}

bool Transfer::RunToEnd(std::uint32_t timeoutMs, std::uint8_t* buffer, std::uint32_t* length,
                        std::uint8_t* packetInfo) {
  if (!Await(timeoutMs, 50) && request_ && platform::IsPending(overlapped_)) {
    Cancel();
    Wait(platform::kInfinite);
  }
  return Finish(buffer, length, packetInfo);
}

}  // namespace lumo::usb
