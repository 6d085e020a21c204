// The device bus of the virtual backend, as drivers and tests see it.
//
// The bus keeps, per device-interface class, the interfaces that are plugged
// in, in plug order. Each is served by a VirtualDriver: every I/O control
// request made on a handle of that interface reaches it, and it finishes each
// request exactly once with CompleteRequest, at once or later from any thread.
//
// Requests that are still outstanding when their handle is closed finish with
// kErrorOperationAborted; when their device is unplugged, with
// kErrorGenFailure, and the device then refuses new requests.
//
// The bus's code is in bus/; the hosted kernel it runs on (handles, events,
// windows and message queues, publication of finished requests) in kernel/.
// WaitForNoticesDelivered, WindowClassNames and InterfaceNoticeRegistrations
// below are served by the kernel: they let tests see its windows and notices.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "lumo/Export.h"
#include "platform/Platform.h"

namespace lumo::platform::virt {

using RequestId = std::uint64_t;

// One I/O control request as its driver sees it. `input` and `output` point
// at the caller's input and output bytes and are valid only during
// OnRequest (a driver reads an outgoing transfer's data there); later the
// buffers are reached through CompleteRequest's RequestBuffers.
struct RequestInfo {
  RequestId id = 0;
  std::uint32_t code = 0;
  std::uint32_t inSize = 0;
  std::uint32_t outSize = 0;
  bool overlapped = false;
  const std::uint8_t* input = nullptr;
  const std::uint8_t* output = nullptr;
};

// The caller's buffers of a request, valid while a completion runs. For
// "in=out" requests both point at the same memory.
struct RequestBuffers {
  const std::uint8_t* in;
  std::uint32_t inSize;
  std::uint8_t* out;
  std::uint32_t outSize;
};

// VirtualDriver is the plug point for a driver played in this process: the
// emulator's. (Real cameras on Linux go through the libusb backend, which
// is a platform of its own, not a VirtualDriver.) The bus hands it each request made on its
// interface and the driver owns the request until it finishes it. A driver must:
//
// - Return from OnRequest without blocking. It runs on the thread that issued
//   the request; a synchronous caller waits there until the request is
//   finished, so work that takes time (a USB transfer) goes on elsewhere: on
//   the driver's own threads or its event loop.
// - Take what it needs of the input during OnRequest: `input` is valid only
//   then. The caller's buffers are reached later only inside the fill
//   function given to CompleteRequest, which writes the output and returns
//   the byte count to report.
// - Finish every request exactly once with CompleteRequest, either inside
//   OnRequest or later from any thread. An overlapped request finished
//   inside OnRequest still reaches its caller asynchronously: IoControl
//   reports kErrorIoPending, and the result is published once OnRequest
//   has returned.
// - Honour cancellation. The bus itself finishes the requests of a closed
//   handle (kErrorOperationAborted) and of an unplugged device
//   (kErrorGenFailure); CompleteRequest then returns false without calling
//   the fill function, and the driver drops the request and stops the work
//   behind it (a libusb driver cancels its transfer). Requests that the
//   driver cancels itself, for example those aborted by an abort request on
//   their endpoint, finish with kErrorOperationAborted.
// - Report errors with Windows' values (platform/ErrorCodes.h), as the kernel
//   driver would: kErrorInvalidFunction for a request it does not serve,
//   kErrorGenFailure for a device that fails or is gone, and so on. A libusb
//   driver maps its error codes and transfer states onto these.
// - Stay valid from Plug until Unplug of its path has returned. Unplug waits
//   until no other thread is inside OnRequest for that device; a driver may
//   unplug its own device from within OnRequest.
class VirtualDriver {
 public:
  virtual ~VirtualDriver() = default;
  // A request arrives, on the thread that issued it. Must not block.
  virtual void OnRequest(const RequestInfo& request) = 0;
  // A handle is being opened on the interface, on the opening thread, which
  // waits: returns 0 to let the open succeed, or the error it fails with. A
  // libusb driver claims the device's interface here on the first open.
  virtual std::uint32_t OnHandleOpened() { return 0; }
  // A handle that opened with success was closed. Its requests that were
  // still outstanding have been finished with kErrorOperationAborted; their
  // ids are in `cancelled`, so that the driver can stop the work behind them
  // (a libusb driver cancels their transfers, which otherwise would go on
  // taking the device's data). Neither call reaches a driver whose device
  // has been unplugged.
  virtual void OnHandleClosed(const RequestId* /*cancelled*/, std::size_t /*count*/) {}
};

// Fills the request's buffers and returns the byte count to report.
using FillFunction = std::uint32_t (*)(void* context, const RequestBuffers& buffers);

// Makes an interface of a class present and notifies every window
// registered for that class (DBT_DEVICEARRIVAL). `driver` must stay valid
// until Unplug for that path has returned. False if the path is present.
LUMO_API bool Plug(const Guid& interfaceClass, const std::string& path, VirtualDriver* driver);

// Removes a present interface: no new request reaches its driver after
// this returns, requests still outstanding finish with kErrorGenFailure,
// and registered windows are notified (DBT_DEVICEREMOVECOMPLETE).
LUMO_API bool Unplug(const std::string& path);

// Finishes an outstanding request with `error`; `fill` (may be null) writes
// the output and gives the byte count. False, without calling `fill`, when
// the request is not outstanding any more.
LUMO_API bool CompleteRequestRaw(RequestId id, std::uint32_t error, FillFunction fill,
                                 void* context);

template <typename Fill>
bool CompleteRequest(RequestId id, std::uint32_t error, Fill&& fill) {
  using Callable = std::remove_reference_t<Fill>;
  return CompleteRequestRaw(
      id, error,
      [](void* context, const RequestBuffers& buffers) -> std::uint32_t {
        return (*static_cast<Callable*>(context))(buffers);
      },
      const_cast<void*>(static_cast<const void*>(&fill)));
}

inline bool CompleteRequest(RequestId id, std::uint32_t error) {
  return CompleteRequestRaw(id, error, nullptr, nullptr);
}

// Starts the drivers that find devices of their own and plug them into the
// bus (the libusb driver's discovery and hot-plug), once per process; what
// they find is plugged when this returns. The bus calls it before it first
// lists interfaces or registers a window for notices. Backends without such
// drivers define it as doing nothing.
void StartHostDrivers();

// Waits until every device-change notice posted so far has been dispatched
// by the thread that owns its window. False after `timeoutMs`.
LUMO_API bool WaitForNoticesDelivered(std::uint32_t timeoutMs);

// Number of requests issued to drivers and not finished yet (all devices).
LUMO_API std::size_t OutstandingRequestCount();

// Number of kernel handles open in the process (events, device handles,
// interface sets), for tests that check nothing is left open.
LUMO_API std::size_t OpenHandleCount();

// Names of the window classes registered in the process.
LUMO_API std::vector<std::string> WindowClassNames();

// Number of windows registered for notices of an interface class.
LUMO_API std::size_t InterfaceNoticeRegistrations(const Guid& interfaceClass);

}  // namespace lumo::platform::virt
