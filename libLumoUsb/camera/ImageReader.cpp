#include "camera/ImageReader.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "camera/CameraState.h"
#include "usb/Transfer.h"

namespace lumo::camera {

namespace {

// One queued transfer: its buffer and the transfer that carries it. A slot
// whose submission the driver refused holds no request: there is nothing to
// wait for or to finish, and its buffer holds no new bytes.
struct TransferSlot {
  std::array<std::uint8_t, kStreamTransferSize> buffer;
  usb::Transfer transfer;
};

usb::CLumoUSBEndPoint* FindStreamEndpoint(usb::CLumoUSBDevice& device) {
  if (!device.CurrentInterface) return nullptr;
  const int slots = device.EndpointSlotCount();
  for (int i = 1; i < slots; ++i) {
    usb::CLumoUSBEndPoint* endpoint = device.CurrentInterface->Endpoints[i];
    if (!endpoint) continue;
    const std::uint8_t kind = endpoint->EndpointAttributes;
    if (kind >= 1 && kind <= 3 && endpoint->EndpointAddress == kStreamEndpointAddress)
      return endpoint;
  }
  return nullptr;
}

bool StatusFailed(const usb::CLumoUSBEndPoint& endpoint) {
  return endpoint.DriverStatus != 0 || endpoint.BusStatus != 0;
}

// Queues the slot's transfer. A submission the driver refused outright (a
// device going away) fails again at once: pause briefly instead of spinning
// until acquisition is stopped.
void Submit(usb::CLumoUSBEndPoint& endpoint, TransferSlot& slot) {
  if (!slot.transfer.Begin(endpoint, slot.buffer.data(), kStreamTransferSize) &&
      !StatusFailed(endpoint))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

void RunImageReader(CameraState* statePointer) {
  CameraState& state = *statePointer;
  usb::CLumoUSBEndPoint* endpoint = FindStreamEndpoint(*state.usbDevice);
  if (!endpoint) return;  // nothing to read from
  endpoint->SetTransferLength(kStreamTransferSize);

  auto slots = std::make_unique<std::array<TransferSlot, kStreamTransfers>>();
  bool failed = false;
  for (TransferSlot& slot : *slots) {
    Submit(*endpoint, slot);
    if (StatusFailed(*endpoint)) {
      failed = true;
      break;
    }
  }

  int k = 0;
  while (!failed) {
    TransferSlot& slot = (*slots)[k];
    if (slot.transfer.Active()) {
      slot.transfer.Await(kStreamWaitMs, kStreamWaitMs);
      std::uint32_t length = kStreamTransferSize;
      if (slot.transfer.Finish(slot.buffer.data(), &length))
        state.streamRing.Append(slot.buffer.data(), length);
    }
    Submit(*endpoint, slot);
    if (StatusFailed(*endpoint)) break;
    k = (k + 1) % kStreamTransfers;
    // The line decoder's state belongs to the frame assembler, which may
    // still be running: it resets that state itself when its run ends.
    if (!state.acqRunning.load(std::memory_order_acquire)) break;
  }

  // Cancel everything still queued and wait for each request before its
  // buffer goes away.
  endpoint->AbortPending();
  for (TransferSlot& slot : *slots) {
    if (!slot.transfer.Active()) continue;
    slot.transfer.Wait(20);
    std::uint32_t length = 0;
    slot.transfer.Finish(slot.buffer.data(), &length);
  }
}

}  // namespace lumo::camera
