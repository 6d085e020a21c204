// The driver of one camera on libusb-1.0: it serves the kernel driver's
// requests (DriverWire.h) for the library, on the virtual bus, so that
// nothing above the platform seam knows which driver it talks to.
//
// - Transfers (control, buffered and direct) become asynchronous libusb
//   transfers; their completions, on libusb's event thread, finish the
//   requests with the errors and status words the Windows driver reports.
// - An abort request cancels every transfer on its endpoint; each finishes
//   with ERROR_OPERATION_ABORTED (995).
// - The information codes are answered with the driver's own values.
// - The camera's interface is claimed when the first handle is opened
//   (detaching a kernel driver bound to it) and released when the last one
//   is closed.
//
// Transfer records are kept and reused: after the first requests, serving
// one allocates nothing.
#pragma once

#include <libusb.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/libusb/Worker.h"
#include "platform/virtual/VirtualBus.h"

namespace lumo::platform::libusb {

class LibusbCamera : public virt::VirtualDriver {
 public:
  // Takes over `handle`; `worker` runs the synchronous libusb calls.
  LibusbCamera(libusb_device_handle* handle, Worker& worker);
  // Shuts down first if that has not been done.
  ~LibusbCamera() override;
  LibusbCamera(const LibusbCamera&) = delete;
  LibusbCamera& operator=(const LibusbCamera&) = delete;

  void OnRequest(const virt::RequestInfo& request) override;
  std::uint32_t OnHandleOpened() override;
  void OnHandleClosed(const virt::RequestId* cancelled, std::size_t count) override;

  // Cancels every transfer, waits until libusb has given each back and
  // closes the device. Called once the camera is unplugged from the bus,
  // never on libusb's event thread nor on the worker.
  void Shutdown();

 private:
  enum class Kind { kControl, kBuffered, kDirect };
  struct Slot;

  void Answer(const virt::RequestInfo& request, const std::uint8_t* bytes, std::uint32_t size);
  void Control(const virt::RequestInfo& request);
  void Transfer(const virt::RequestInfo& request, bool direct);
  void SetStandard(const virt::RequestInfo& request, std::uint8_t request_, std::uint16_t value,
                   std::uint16_t index, std::uint32_t dataOffset);
  void Abort(const virt::RequestInfo& request);

  Slot* TakeSlot(std::size_t bufferSize);
  void Submit(Slot* slot);
  static void LIBUSB_CALL Finished(libusb_transfer* transfer);
  void Finish(Slot* slot);
  void GiveBack(Slot* slot);
  std::uint8_t EndpointType(std::uint8_t address) const;

  libusb_device_handle* handle_;
  Worker& worker_;
  std::uint8_t interface_ = 0;
  std::uint16_t bcdUsb_ = 0;
  std::uint8_t endpointTypes_[32] = {};  // by (address & 0x0F) | (IN ? 16 : 0); 0xFF: none

  mutable std::mutex mutex_;
  std::condition_variable idle_;              // live_ emptied, for Shutdown
  std::vector<std::unique_ptr<Slot>> slots_;  // every slot ever made
  std::vector<Slot*> free_;
  std::vector<Slot*> live_;  // submitted to libusb
  int opens_ = 0;            // open handles
  int slowCalls_ = 0;        // jobs posted to the worker
  bool shutDown_ = false;
  std::uint8_t alternate_ = 0;
};

}  // namespace lumo::platform::libusb
