#include "camera/ImageReader.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "camera/CameraState.h"
#include "platform/UniqueHandle.h"

namespace lumo::camera {

namespace {

// One queued transfer: its buffer, overlapped record, event and request.
// A slot whose submission the driver refused has no request: there is
// nothing to wait for or to finish, and its buffer holds no new bytes.
struct TransferSlot {
  std::array<std::uint8_t, kStreamTransferSize> buffer;
  platform::UniqueHandle event;
  platform::Overlapped overlapped;
  usb::RequestHandle request;
  bool pending = false;  // the driver took the request and has not completed it yet
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

bool SubmitFailed(const usb::CLumoUSBEndPoint& endpoint) {
  return endpoint.DriverStatus != 0 || endpoint.BusStatus != 0;
}

// Queues the slot's transfer. The outcome of the submission is the slot's
// own, not whatever the endpoint's OsError says after later submissions.
void Submit(usb::CLumoUSBEndPoint& endpoint, TransferSlot& slot) {
  slot.request = endpoint.BeginTransfer(slot.buffer.data(), kStreamTransferSize, &slot.overlapped);
  slot.pending = slot.request && endpoint.OsError == platform::kErrorIoPending;
  // A submit the driver refused outright (a device going away) fails
  // again at once: pause briefly instead of spinning until acquisition is
  // stopped.
  if (!slot.request) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Waits for the slot's request; on a time-out cancels the endpoint's
// requests and waits once more for this one to come back.
void AwaitSlot(usb::CLumoUSBEndPoint& endpoint, TransferSlot& slot) {
  if (!slot.pending) return;
  if (platform::WaitForEvent(slot.event.get(), kStreamWaitMs) == platform::kWaitObject0) return;
  endpoint.AbortPending();
  platform::WaitForEvent(slot.event.get(), kStreamWaitMs);
}

}  // namespace

void AppendToStreamRing(CameraState& state, const std::uint8_t* bytes, std::uint32_t length) {
  const std::uint32_t write = state.ringWritePos.load(std::memory_order_relaxed);
  std::uint32_t next;
  if (write + length < kStreamRingSize) {
    std::memcpy(state.ring.get() + write, bytes, length);
    next = write + length;
  } else {
    const std::uint32_t first = kStreamRingSize - write;
    std::memcpy(state.ring.get() + write, bytes, first);
    std::memcpy(state.ring.get(), bytes + first, length - first);
    next = length - first;
  }
  // The bytes are in the ring before the frame assembler can see the new
  // position, and the position before the event wakes it.
  state.ringWritePos.store(next, std::memory_order_release);
  platform::SetEventObject(state.dataEvent.get());
}

void RunImageReader(CameraState* statePointer) {
  CameraState& state = *statePointer;
  usb::CLumoUSBEndPoint* endpoint = FindStreamEndpoint(*state.usbDevice);
  if (!endpoint) return;  // nothing to read from
  endpoint->SetTransferLength(kStreamTransferSize);

  auto slots = std::make_unique<std::array<TransferSlot, kStreamTransfers>>();
  bool failed = false;
  for (TransferSlot& slot : *slots) {
    slot.event.reset(platform::CreateEventObject(false, false));
    slot.overlapped.event = slot.event.get();
    Submit(*endpoint, slot);
    if (SubmitFailed(*endpoint)) {
      failed = true;
      break;
    }
  }

  int k = 0;
  while (!failed) {
    TransferSlot& slot = (*slots)[k];
    if (slot.request) {
      AwaitSlot(*endpoint, slot);
      std::uint32_t length = kStreamTransferSize;
      if (endpoint->FinishTransfer(slot.buffer.data(), &length, &slot.overlapped, slot.request,
                                   nullptr))
        AppendToStreamRing(state, slot.buffer.data(), length);
      // A request the driver has not finished keeps its record: cancel it
      // and wait before the slot is used again.
      slot.request.reset();
    }
    Submit(*endpoint, slot);
    if (SubmitFailed(*endpoint)) break;
    k = (k + 1) % kStreamTransfers;
    // The line decoder's state belongs to the frame assembler, which may
    // still be running: it resets that state itself when its run ends.
    if (!state.acqRunning.load(std::memory_order_acquire)) break;
  }

  // Cancel everything still queued and wait for each request before its
  // buffer and overlapped record go away.
  endpoint->AbortPending();
  for (TransferSlot& slot : *slots) {
    if (!slot.request) continue;
    if (slot.pending) platform::WaitForEvent(slot.event.get(), 20);
    std::uint32_t length = 0;
    endpoint->FinishTransfer(slot.buffer.data(), &length, &slot.overlapped, slot.request, nullptr);
    slot.request.reset();  // still outstanding: cancelled and awaited here
  }
}

}  // namespace lumo::camera
