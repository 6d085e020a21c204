// Transfer: one overlapped transfer on an endpoint, from its submission to
// its outcome. It owns the completion event, the overlapped record and the
// request record while the driver holds them, and it is the one place that
// knows the sequence: submit; wait with a limit; on a time-out cancel the
// endpoint's requests and wait once more; finish. A transfer destroyed while
// the driver still holds its request cancels it and waits for it first.
//
// A Transfer can be used again for the next request once it has finished.
#pragma once

#include <cstdint>

#include "platform/Platform.h"
#include "platform/UniqueHandle.h"
#include "usb/ControlSetup.h"
#include "usb/RequestContext.h"

namespace lumo::usb {

class CLumoUSBEndPoint;
class CLumoControlEndPoint;

class Transfer {
 public:
  Transfer();
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Submits `length` bytes of `buffer` on a data endpoint (the endpoint's
  // own mode decides whether the driver uses the buffer or a copy). True
  // when the driver holds the request: false when it refused it outright or
  // answered with a bus or driver status (the endpoint's OsError, BusStatus
  // and DriverStatus say which).
  bool Begin(CLumoUSBEndPoint& endpoint, std::uint8_t* buffer, std::uint32_t length);
  // The same for a control request with its setup packet.
  bool BeginControl(CLumoControlEndPoint& endpoint, const ControlSetup& setup, std::uint8_t* buffer,
                    std::uint32_t length);

  // Waits up to `timeoutMs` for the request to complete. True when it has.
  bool Wait(std::uint32_t timeoutMs);
  // Wait(timeoutMs); if the request has not completed by then, cancels
  // every request of the endpoint and waits up to `graceMs` more. True when
  // it completed within `timeoutMs`.
  bool Await(std::uint32_t timeoutMs, std::uint32_t graceMs);
  // Cancels every request outstanding on the endpoint.
  void Cancel();
  // Collects the outcome and releases the request record: true when the
  // request succeeded, with *length set to the data bytes it moved (copied
  // into `buffer` for requests that carried them in the record). False when
  // it failed or was never submitted; a request still running is cancelled
  // and awaited, and reports false. Isochronous requests also copy their
  // packet table into `packetInfo` when given.
  bool Finish(std::uint8_t* buffer, std::uint32_t* length, std::uint8_t* packetInfo = nullptr);
  // Await(timeoutMs, 50 ms); if the request is still running, cancels it
  // again and waits for its end; then Finish.
  bool RunToEnd(std::uint32_t timeoutMs, std::uint8_t* buffer, std::uint32_t* length,
                std::uint8_t* packetInfo = nullptr);

  // The driver has completed the request it holds; looks without waiting.
  bool Completed() const { return request_ != nullptr && !platform::IsPending(overlapped_); }
  // The driver holds, or has completed and not yet given back, a request.
  bool Active() const { return request_ != nullptr; }
  // The OS error of the last submission: 0, pending, or why it was refused.
  std::uint32_t SubmitError() const { return submitError_; }

 private:
  void Submitted(CLumoUSBEndPoint& endpoint, RequestHandle request);

  CLumoUSBEndPoint* endpoint_ = nullptr;
  platform::UniqueHandle event_;
  platform::Overlapped overlapped_;
  RequestHandle request_;
  std::uint32_t submitError_ = 0;
};

}  // namespace lumo::usb
