#include "platform/libusb/LibusbCamera.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/libusb/DriverWire.h"

namespace lumo::platform::libusb {

namespace {

constexpr std::uint8_t kNoEndpoint = 0xFF;
constexpr std::uint8_t kRequestSetConfiguration = 0x09;
constexpr std::uint8_t kRequestSetInterface = 0x0B;
constexpr std::uint32_t kDeviceStarted = 2;
constexpr char kDriverText[] = "Lumo libusb-1.0 driver";
// How long a shut-down waits for cancelled transfers to come back: briefly
// when libusb said the device is gone, longer for a device still there.
constexpr std::chrono::milliseconds kVanishedWait{200};
constexpr std::chrono::milliseconds kCancelWait{5000};

std::size_t EndpointSlot(std::uint8_t address) {
  return (address & 0x0F) | ((address & 0x80) ? 16 : 0);
}

// A finished transfer's error and the status words of its header.
struct Outcome {
  std::uint32_t error = kErrorSuccess;
  std::uint32_t usbStatus = 0;
  std::uint32_t systemStatus = 0;
};

Outcome OutcomeOf(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return {};
    case LIBUSB_TRANSFER_STALL:
      return {kErrorGenFailure, kUsbStatusStall, kSystemStatusStall};
    case LIBUSB_TRANSFER_TIMED_OUT:
      return {kErrorSemTimeout, kUsbStatusCanceled, kSystemStatusTimeout};
    case LIBUSB_TRANSFER_CANCELLED:
      return {kErrorOperationAborted, kUsbStatusCanceled, kSystemStatusCancelled};
    case LIBUSB_TRANSFER_NO_DEVICE:
      return {kErrorGenFailure, kUsbStatusDeviceGone, kSystemStatusNoSuchDevice};
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_OVERFLOW:
    default:
      return {kErrorGenFailure, kUsbStatusError, kSystemStatusStall};
  }
}

// The error a refused submission or synchronous call reports.
std::uint32_t ErrorOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS:
      return kErrorSuccess;
    case LIBUSB_ERROR_NO_DEVICE:
      return kErrorGenFailure;
    case LIBUSB_ERROR_ACCESS:
      return kErrorAccessDenied;
    case LIBUSB_ERROR_BUSY:
      return kErrorBusy;
    case LIBUSB_ERROR_NO_MEM:
      return kErrorNotEnoughMemory;
    case LIBUSB_ERROR_INVALID_PARAM:
      return kErrorInvalidParameter;
    case LIBUSB_ERROR_TIMEOUT:
      return kErrorSemTimeout;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return kErrorInvalidFunction;
    default:
      return kErrorGenFailure;
  }
}

// The fields of a transfer header the driver acts on, read from the input.
struct Header {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  std::uint8_t endpoint = 0;
  std::uint32_t dataOffset = 0;
  std::uint32_t dataLength = 0;
};

bool ReadHeader(const virt::RequestInfo& request, Header& header) {
  if (!request.input || request.inSize < kTransferRecordSize) return false;
  const std::uint8_t* in = request.input;
  header.requestType = in[wire::kSetupOffset];
  header.request = in[wire::kSetupOffset + 1];
  header.value = wire::Le16(in + wire::kSetupOffset + 2);
  header.index = wire::Le16(in + wire::kSetupOffset + 4);
  header.length = wire::Le16(in + wire::kSetupOffset + 6);
  header.timeoutSeconds = wire::Le32(in + wire::kTimeLimitOffset);
  header.endpoint = in[wire::kEndpointOffset];
  header.dataOffset = wire::Le32(in + wire::kDataOffsetOffset);
  header.dataLength = wire::Le32(in + wire::kDataLengthOffset);
  return true;
}

// An in=out request's data area lies inside its buffer; a request without
// data may leave the offset 0 (the data would follow the header).
bool InOutDataFits(const virt::RequestInfo& request, Header& header) {
  if (header.dataOffset == 0 && header.dataLength == 0) header.dataOffset = kTransferRecordSize;
  return header.dataOffset >= kTransferRecordSize && request.outSize >= request.inSize &&
         std::uint64_t{header.dataOffset} + header.dataLength <= request.inSize;
}

void WriteStatus(const virt::RequestBuffers& buffers, const Outcome& outcome) {
  if (buffers.outSize < wire::kUsbStatusOffset + 4) return;
  wire::PutLe32(buffers.out + wire::kSystemStatusOffset, outcome.systemStatus);
  wire::PutLe32(buffers.out + wire::kUsbStatusOffset, outcome.usbStatus);
}

}  // namespace

struct LibusbCamera::Slot {
  LibusbCamera* owner = nullptr;
  libusb_transfer* transfer = nullptr;
  std::vector<std::uint8_t> buffer;
  virt::RequestId id = 0;
  Kind kind = Kind::kBuffered;
  std::uint8_t endpoint = 0;
  std::uint32_t dataOffset = 0;  // in=out requests: where the data goes
  bool in = false;
  std::size_t liveIndex = 0;

  ~Slot() {
    if (transfer) libusb_free_transfer(transfer);
  }
};

LibusbCamera::LibusbCamera(libusb_device_handle* handle, Worker& worker)
    : handle_(handle), worker_(worker) {
  std::fill(std::begin(endpointTypes_), std::end(endpointTypes_), kNoEndpoint);
  libusb_device* device = libusb_get_device(handle_);
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) == 0) bcdUsb_ = descriptor.bcdUSB;
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0 &&
      libusb_get_config_descriptor(device, 0, &config) != 0)
    return;
  bool first = true;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (first) {
        interface_ = setting.bInterfaceNumber;
        first = false;
      }
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        endpointTypes_[EndpointSlot(endpoint.bEndpointAddress)] =
            endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
      }
    }
  }
  libusb_free_config_descriptor(config);
}

LibusbCamera::~LibusbCamera() { Shutdown(); }

std::uint8_t LibusbCamera::EndpointType(std::uint8_t address) const {
  return endpointTypes_[EndpointSlot(address)];
}

void LibusbCamera::OnRequest(const virt::RequestInfo& request) {
  std::uint8_t value[4];
  switch (request.code) {
    case CODE_DRIVER_INFO_A: {
      // The driver's version: that of libusb underneath.
      const libusb_version* version = libusb_get_version();
      wire::PutLe32(value, (std::uint32_t{version->major} << 24) |
                               (std::uint32_t{version->minor} << 16) |
                               (std::uint32_t{version->micro} << 8));
      return Answer(request, value, 4);
    }
    case CODE_DRIVER_INFO_B:
      // The USB version the device reports.
      wire::PutLe32(value, bcdUsb_);
      return Answer(request, value, 4);
    case CODE_DEVICE_STATE:
      wire::PutLe32(value, kDeviceStarted);
      return Answer(request, value, 4);
    case CODE_DRIVER_INFO_BYTE:
      value[0] = 1;  // interface revision
      return Answer(request, value, 1);
    case CODE_GET_ALTERNATE: {
      std::lock_guard<std::mutex> lock(mutex_);
      value[0] = alternate_;
    }
      return Answer(request, value, 1);
    case CODE_DRIVER_TEXT_A:
    case CODE_DRIVER_TEXT_B: {
      std::uint8_t text[wire::kTextSize] = {};
      if (request.code == CODE_DRIVER_TEXT_A) {
        std::memcpy(text, kDriverText, sizeof(kDriverText));
      } else {
        const libusb_version* version = libusb_get_version();
        std::snprintf(reinterpret_cast<char*>(text), sizeof(text), "libusb-1.0 %u.%u.%u",
                      version->major, version->minor, version->micro);
      }
      return Answer(request, text, wire::kTextSize);
    }
    case CODE_CONTROL_TRANSFER:
      return Control(request);
    case CODE_BUFFERED_TRANSFER:
      return Transfer(request, false);
    case CODE_DIRECT_TRANSFER:
      return Transfer(request, true);
    case CODE_SET_TRANSFER_LENGTH:
      // The length is a hint for the Windows driver's own buffering; libusb
      // moves each transfer as submitted.
      if (!request.input || request.inSize < 5) {
        virt::CompleteRequest(request.id, kErrorInvalidParameter);
        return;
      }
      virt::CompleteRequest(request.id, kErrorSuccess,
                            [](const virt::RequestBuffers& buffers) { return buffers.inSize; });
      return;
    case CODE_ABORT_ENDPOINT:
      return Abort(request);
    default:
      virt::CompleteRequest(request.id, kErrorInvalidFunction);
  }
}

// The information codes are in=out: the byte count is the size the caller
// sent, which is what a synchronous caller checks for.
void LibusbCamera::Answer(const virt::RequestInfo& request, const std::uint8_t* bytes,
                          std::uint32_t size) {
  if (request.outSize < size) {
    virt::CompleteRequest(request.id, kErrorInsufficientBuffer);
    return;
  }
  virt::CompleteRequest(request.id, kErrorSuccess,
                        [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                          std::memmove(buffers.out, bytes, size);
                          return buffers.inSize ? buffers.inSize : size;
                        });
}

void LibusbCamera::Control(const virt::RequestInfo& request) {
  Header header;
  if (!ReadHeader(request, header) || !InOutDataFits(request, header)) {
    virt::CompleteRequest(request.id, kErrorInvalidParameter);
    return;
  }
  // Selecting a configuration or an alternate setting goes through libusb's
  // own calls, so that the OS knows the device's new state.
  if (header.requestType == 0x00 && header.request == kRequestSetConfiguration)
    return SetStandard(request, header.request, header.value, header.index, header.dataOffset);
  if (header.requestType == 0x01 && header.request == kRequestSetInterface)
    return SetStandard(request, header.request, header.value, header.index, header.dataOffset);

  const bool in = (header.requestType & 0x80) != 0;
  // The data stage moves at most wLength bytes and at most what the buffer holds.
  const std::uint32_t stage = std::min<std::uint32_t>(header.length, header.dataLength);
  Slot* slot = TakeSlot(kSetupPacketSize + stage);
  if (!slot) {
    virt::CompleteRequest(request.id, kErrorNotEnoughMemory);
    return;
  }
  slot->id = request.id;
  slot->kind = Kind::kControl;
  slot->endpoint = 0;
  slot->dataOffset = header.dataOffset;
  slot->in = in;
  std::uint8_t* buffer = slot->buffer.data();
  libusb_fill_control_setup(buffer, header.requestType, header.request, header.value, header.index,
                            static_cast<std::uint16_t>(stage));
  if (!in && stage != 0)
    std::memcpy(buffer + kSetupPacketSize, request.input + header.dataOffset, stage);
  libusb_fill_control_transfer(slot->transfer, handle_, buffer, &LibusbCamera::Finished, slot,
                               header.timeoutSeconds * 1000u);
  Submit(slot);
}

void LibusbCamera::Transfer(const virt::RequestInfo& request, bool direct) {
  Header header;
  if (!ReadHeader(request, header) || header.endpoint == 0 ||
      (!direct && !InOutDataFits(request, header))) {
    virt::CompleteRequest(request.id, kErrorInvalidParameter);
    return;
  }
  const std::uint8_t type = EndpointType(header.endpoint);
  if (type == kNoEndpoint) {
    // No such endpoint on the device: the Windows stack stalls the request.
    virt::CompleteRequest(
        request.id, kErrorGenFailure,
        [direct](const virt::RequestBuffers& buffers) -> std::uint32_t {
          if (!direct)
            WriteStatus(buffers, {kErrorGenFailure, kUsbStatusStall, kSystemStatusStall});
          return 0;
        });
    return;
  }
  if (type != LIBUSB_TRANSFER_TYPE_BULK && type != LIBUSB_TRANSFER_TYPE_INTERRUPT) {
    virt::CompleteRequest(request.id, kErrorInvalidFunction);  // isochronous: not served
    return;
  }
  const bool in = (header.endpoint & 0x80) != 0;
  const std::uint32_t length = direct ? request.outSize : header.dataLength;
  const std::uint8_t* outData =
      direct ? request.output : (request.input ? request.input + header.dataOffset : nullptr);
  if (!in && length != 0 && !outData) {
    virt::CompleteRequest(request.id, kErrorInvalidParameter);
    return;
  }
  Slot* slot = TakeSlot(length);
  if (!slot) {
    virt::CompleteRequest(request.id, kErrorNotEnoughMemory);
    return;
  }
  slot->id = request.id;
  slot->kind = direct ? Kind::kDirect : Kind::kBuffered;
  slot->endpoint = header.endpoint;
  slot->dataOffset = direct ? 0 : header.dataOffset;
  slot->in = in;
  if (!in && length != 0) std::memcpy(slot->buffer.data(), outData, length);
  if (type == LIBUSB_TRANSFER_TYPE_BULK)
    libusb_fill_bulk_transfer(slot->transfer, handle_, header.endpoint, slot->buffer.data(),
                              static_cast<int>(length), &LibusbCamera::Finished, slot, 0);
  else
    libusb_fill_interrupt_transfer(slot->transfer, handle_, header.endpoint, slot->buffer.data(),
                                   static_cast<int>(length), &LibusbCamera::Finished, slot, 0);
  Submit(slot);
}

void LibusbCamera::SetStandard(const virt::RequestInfo& request, std::uint8_t standard,
                               std::uint16_t value, std::uint16_t index, std::uint32_t dataOffset) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++slowCalls_;
  }
  const virt::RequestId id = request.id;
  worker_.Post([this, id, standard, value, index, dataOffset] {
    int result = LIBUSB_SUCCESS;
    if (standard == kRequestSetConfiguration) {
      int current = -1;
      // Selecting the active configuration again would reset the device.
      if (libusb_get_configuration(handle_, &current) != 0 || current != value) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (opens_ > 0) libusb_release_interface(handle_, interface_);
        result = libusb_set_configuration(handle_, value);
        if (opens_ > 0) libusb_claim_interface(handle_, interface_);
      }
    } else {
      result = libusb_set_interface_alt_setting(handle_, index, value);
      if (result == LIBUSB_SUCCESS) {
        std::lock_guard<std::mutex> lock(mutex_);
        alternate_ = static_cast<std::uint8_t>(value);
      }
    }
    Outcome outcome;
    if (result == LIBUSB_ERROR_PIPE)
      outcome = {kErrorGenFailure, kUsbStatusStall, kSystemStatusStall};
    else if (result != LIBUSB_SUCCESS)
      outcome = {ErrorOf(result), kUsbStatusError, kSystemStatusStall};
    virt::CompleteRequest(id, outcome.error,
                          [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                            WriteStatus(buffers, outcome);
                            return dataOffset;
                          });
    std::lock_guard<std::mutex> lock(mutex_);
    if (--slowCalls_ == 0) idle_.notify_all();
  });
}

void LibusbCamera::Abort(const virt::RequestInfo& request) {
  if (!request.input || request.inSize < 1) {
    virt::CompleteRequest(request.id, kErrorInvalidParameter);
    return;
  }
  const std::uint8_t endpoint = request.input[0];
  {
    // libusb calls a transfer's callback without holding its own locks, so
    // cancelling under this mutex cannot deadlock with a completion.
    std::lock_guard<std::mutex> lock(mutex_);
    for (Slot* slot : live_)
      if (slot->endpoint == endpoint) libusb_cancel_transfer(slot->transfer);
  }
  virt::CompleteRequest(request.id, kErrorSuccess);
}

std::uint32_t LibusbCamera::OnHandleOpened() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_) return kErrorFileNotFound;
  if (opens_ == 0) {
    // Not every platform can detach a kernel driver; claiming then tells.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    const int result = libusb_claim_interface(handle_, interface_);
    if (result != LIBUSB_SUCCESS) return ErrorOf(result);
  }
  ++opens_;
  return kErrorSuccess;
}

void LibusbCamera::OnHandleClosed(const virt::RequestId* cancelled, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The closed handle's requests are finished already; their transfers
  // must not go on taking the device's data.
  for (Slot* slot : live_)
    if (std::find(cancelled, cancelled + count, slot->id) != cancelled + count)
      libusb_cancel_transfer(slot->transfer);
  if (opens_ > 0 && --opens_ == 0 && !shutDown_) libusb_release_interface(handle_, interface_);
}

LibusbCamera::Slot* LibusbCamera::TakeSlot(std::size_t bufferSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_) return nullptr;
  Slot* slot = nullptr;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    auto made = std::make_unique<Slot>();
    made->owner = this;
    made->transfer = libusb_alloc_transfer(0);
    if (!made->transfer) return nullptr;
    slot = made.get();
    slots_.push_back(std::move(made));
  }
  // Buffers only grow: steady traffic reuses them as they are.
  if (slot->buffer.size() < bufferSize) slot->buffer.resize(bufferSize);
  return slot;
}

void LibusbCamera::Submit(Slot* slot) {
  int result = LIBUSB_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot->liveIndex = live_.size();
    live_.push_back(slot);
    // Submitted under the mutex, so that an abort either finds the transfer
    // in flight or comes after it was refused.
    result = libusb_submit_transfer(slot->transfer);
  }
  if (result == LIBUSB_SUCCESS) return;
  const Outcome outcome{
      ErrorOf(result), result == LIBUSB_ERROR_NO_DEVICE ? kUsbStatusDeviceGone : kUsbStatusError,
      result == LIBUSB_ERROR_NO_DEVICE ? kSystemStatusNoSuchDevice : kSystemStatusStall};
  const bool inOut = slot->kind != Kind::kDirect;
  virt::CompleteRequest(slot->id, outcome.error,
                        [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                          if (inOut) WriteStatus(buffers, outcome);
                          return 0;
                        });
  GiveBack(slot);
}

void LIBUSB_CALL LibusbCamera::Finished(libusb_transfer* transfer) {
  Slot* slot = static_cast<Slot*>(transfer->user_data);
  slot->owner->Finish(slot);
}

// Runs on libusb's event thread.
void LibusbCamera::Finish(Slot* slot) {
  const libusb_transfer& transfer = *slot->transfer;
  const Outcome outcome = OutcomeOf(transfer.status);
  const std::uint32_t actual =
      transfer.actual_length > 0 ? static_cast<std::uint32_t>(transfer.actual_length) : 0;
  const std::uint8_t* data =
      slot->kind == Kind::kControl ? slot->buffer.data() + kSetupPacketSize : slot->buffer.data();
  // A closed handle's or an unplugged device's request is finished already:
  // CompleteRequest then refuses, and the slot simply goes back.
  virt::CompleteRequest(slot->id, outcome.error,
                        [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                          if (slot->kind == Kind::kDirect) {
                            const std::uint32_t copied = std::min(actual, buffers.outSize);
                            if (slot->in && copied) std::memcpy(buffers.out, data, copied);
                            return slot->in ? copied : actual;
                          }
                          WriteStatus(buffers, outcome);
                          std::uint32_t copied = actual;
                          if (slot->dataOffset >= buffers.outSize)
                            copied = 0;
                          else
                            copied = std::min(copied, buffers.outSize - slot->dataOffset);
                          if (slot->in && copied)
                            std::memcpy(buffers.out + slot->dataOffset, data, copied);
                          return slot->dataOffset + (slot->in ? copied : actual);
                        });
  GiveBack(slot);
}

void LibusbCamera::GiveBack(Slot* slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* last = live_.back();
  live_[slot->liveIndex] = last;
  last->liveIndex = slot->liveIndex;
  live_.pop_back();
  free_.push_back(slot);
  if (live_.empty() && slowCalls_ == 0) idle_.notify_all();
}

void LibusbCamera::Shutdown() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!handle_) return;
    shutDown_ = true;
    // Cancelled transfers come back through their callbacks. Those of a
    // device that has vanished may not: libusb keeps them until the handle
    // is closed, and closing it drops them without a callback.
    std::size_t vanished = 0;
    for (Slot* slot : live_)
      if (libusb_cancel_transfer(slot->transfer) == LIBUSB_ERROR_NO_DEVICE) ++vanished;
    idle_.wait_for(lock, vanished ? kVanishedWait : kCancelWait,
                   [this] { return live_.empty() && slowCalls_ == 0; });
    // The worker's calls fail at once on a vanished device.
    idle_.wait(lock, [this] { return slowCalls_ == 0; });
    if (opens_ > 0) libusb_release_interface(handle_, interface_);
    opens_ = 0;
  }
  // Closing takes libusb's event lock, so no callback runs during or after
  // it: the mutex must not be held here, since a callback may wait for it.
  libusb_close(handle_);
  std::lock_guard<std::mutex> lock(mutex_);
  handle_ = nullptr;
  for (Slot* slot : live_) free_.push_back(slot);
  live_.clear();
}

}  // namespace lumo::platform::libusb
