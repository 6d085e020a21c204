#include "camera/ImageReader.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "camera/CameraState.h"
#include "camera/HeaderBlock.h"
#include "usb/Transfer.h"

namespace lumo::camera {

namespace {

// One queued transfer: its buffer and the transfer that carries it. A slot
// whose submission the driver refused holds no request: there is nothing to
// wait for or to finish, and its buffer holds no new bytes.
struct TransferSlot {
  std::unique_ptr<std::uint8_t[]> buffer;
  usb::Transfer transfer;
};

bool StatusFailed(const usb::CLumoUSBEndPoint& endpoint) {
  return endpoint.DriverStatus != 0 || endpoint.BusStatus != 0;
}

// Queues the slot's transfer. A submission the driver refused outright (a
// device going away) fails again at once: pause briefly instead of spinning
// until acquisition is stopped.
void Submit(usb::CLumoUSBEndPoint& endpoint, TransferSlot& slot, std::uint32_t size) {
  if (!slot.transfer.Begin(endpoint, slot.buffer.get(), size) && !StatusFailed(endpoint))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

std::uint32_t StreamTransferSize(std::int64_t requested) {
  if (requested <= kDefaultStreamTransferSize) return kDefaultStreamTransferSize;
  if (requested >= kMaxStreamTransferSize) return kMaxStreamTransferSize;
  const auto blocks = (static_cast<std::uint64_t>(requested) + 4095) / 4096;
  return static_cast<std::uint32_t>(blocks * 4096);
}

std::uint32_t StreamTransfersInFlight(std::uint32_t transferSize) {
  const std::uint32_t count = (kStreamBytesInFlight + transferSize - 1) / transferSize;
  return count < kMinStreamTransfers ? kMinStreamTransfers : count;
}

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

void RunImageReader(CameraState* statePointer) {
  platform::NameCurrentThread("lumo-reader");
  CameraState& state = *statePointer;
  StreamRing& ring = state.streamRing;
  usb::CLumoUSBEndPoint* endpoint = FindStreamEndpoint(*state.usbDevice);
  if (!endpoint) return;  // nothing to read from
  const std::uint32_t size = StreamTransferSize(state.transferSize.load());
  endpoint->SetTransferLength(size);

  // Made once per run: nothing on the way of a block is allocated.
  std::vector<TransferSlot> slots(StreamTransfersInFlight(size));
  for (TransferSlot& slot : slots) slot.buffer.reset(new std::uint8_t[size]);
  bool failed = false;
  for (TransferSlot& slot : slots) {
    Submit(*endpoint, slot, size);
    if (StatusFailed(*endpoint)) {
      failed = true;
      break;
    }
  }

  // Received bytes are counted in batches: published once
  // kStreamAnnounceBytes have come, before every wait (ahead of the
  // announcement that lets the assembler count their blocks) and at the
  // end of the run.
  std::uint64_t uncounted = 0;
  const auto publishCount = [&] {
    if (uncounted == 0) return;
    Count(state.counters.bytesReceived, uncounted);
    uncounted = 0;
  };

  std::size_t k = 0;
  while (!failed) {
    TransferSlot& slot = slots[k];
    bool lost = false;
    if (slot.transfer.Active()) {
      // About to wait: whatever was appended is announced first.
      if (!slot.transfer.Completed()) {
        publishCount();
        ring.Announce();
        slot.transfer.Await(kStreamWaitMs, kStreamWaitMs);
      }
      std::uint32_t length = size;
      const bool received = slot.transfer.Finish(slot.buffer.get(), &length);
      if (received) uncounted += length;
      if (!state.acqRunning.load(std::memory_order_acquire)) break;
      if (received) {
        ring.Append(slot.buffer.get(), length);
        if (uncounted >= kStreamAnnounceBytes) publishCount();
        // A frame begins a transfer: its header is announced at once, so
        // that the assembler stamps the frame when it came (one wake-up per
        // frame, not per block).
        if (length >= kHeaderMagicBytes && IsHeaderBlock(slot.buffer.get())) {
          publishCount();
          ring.Announce();
        }
      } else {
        ring.MarkGap();  // the bytes this transfer carried are lost
        lost = true;
      }
    } else if (!state.acqRunning.load(std::memory_order_acquire)) {
      break;
    }
    Submit(*endpoint, slot, size);
    // A failed transfer counts as an error when the device takes requests
    // again: one that went away fails every transfer it held, and refuses
    // new ones.
    if (lost && slot.transfer.Active()) Count(state.counters.transferErrors);
    if (StatusFailed(*endpoint)) break;
    k = k + 1 == slots.size() ? 0 : k + 1;
  }
  publishCount();
  ring.Announce();

  // Cancel everything still queued and wait for each request before its
  // buffer goes away.
  endpoint->AbortPending();
  for (TransferSlot& slot : slots) {
    if (!slot.transfer.Active()) continue;
    slot.transfer.Wait(20);
    std::uint32_t length = 0;
    slot.transfer.Finish(slot.buffer.get(), &length);
  }
}

}  // namespace lumo::camera
