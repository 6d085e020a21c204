// A driver for endpoint tests: it records the bytes of every request it
// receives, answers control transfers and synchronous requests from a
// script, holds data transfers until the test finishes them, and cancels an
// endpoint's held requests on an abort request, as the kernel driver does.
#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/virtual/VirtualBus.h"
#include "usb/DriverInterface.h"

namespace lumo::test {

struct RecordedRequest {
  platform::virt::RequestId id = 0;
  std::uint32_t code = 0;
  std::vector<std::uint8_t> input;
  std::uint32_t outSize = 0;
  bool overlapped = false;
  std::uint8_t endpoint = 0;  // of data transfers and aborts
};

class RecordingDriver : public platform::virt::VirtualDriver {
 public:
  // Control transfers finish at once with these data after the header,
  // this USB status word and this error.
  std::vector<std::uint8_t> controlReply;
  std::uint32_t controlUsbStatus = 0;
  std::uint32_t controlError = 0;
  // When false, control transfers are held like data transfers.
  bool answerControl = true;

  void OnRequest(const platform::virt::RequestInfo& info) override {
    RecordedRequest request{info.id,
                            info.code,
                            std::vector<std::uint8_t>(info.input, info.input + info.inSize),
                            info.outSize,
                            info.overlapped,
                            0};
    if (info.code == usb::CODE_ABORT_ENDPOINT && info.inSize >= 1) request.endpoint = info.input[0];
    if ((info.code == usb::CODE_DIRECT_TRANSFER || info.code == usb::CODE_BUFFERED_TRANSFER) &&
        info.inSize >= usb::kTransferRecordSize)
      request.endpoint = info.input[13];
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    switch (info.code) {
      case usb::CODE_ABORT_ENDPOINT:
        CancelEndpoint(request.endpoint);
        platform::virt::CompleteRequest(info.id, 0);
        break;
      case usb::CODE_SET_TRANSFER_LENGTH:
        platform::virt::CompleteRequest(
            info.id, 0, [](const platform::virt::RequestBuffers& b) { return b.inSize; });
        break;
      case usb::CODE_CONTROL_TRANSFER:
        if (answerControl) AnswerControl(info.id);
        break;
      default:
        break;  // held until the test finishes it
    }
  }

  // Finishes a held request: for buffered ones `data` lands after the
  // record's data offset and the byte count includes that offset; direct
  // ones receive `data` in the caller's buffer.
  bool Finish(const RecordedRequest& request, std::uint32_t error,
              const std::vector<std::uint8_t>& data, std::uint32_t usbStatus = 0) {
    return platform::virt::CompleteRequest(
        request.id, error, [&](const platform::virt::RequestBuffers& b) -> std::uint32_t {
          if (request.code == usb::CODE_DIRECT_TRANSFER) {
            const auto n = std::min<std::uint32_t>(b.outSize, std::uint32_t(data.size()));
            if (n) std::memcpy(b.out, data.data(), n);
            return n;
          }
          std::uint32_t offset = 0;
          std::memcpy(&offset, b.out + 30, 4);
          const auto n = std::min<std::uint32_t>(b.outSize - offset, std::uint32_t(data.size()));
          if (n) std::memcpy(b.out + offset, data.data(), n);
          std::memcpy(b.out + 18, &usbStatus, 4);
          return offset + n;
        });
  }

  std::vector<RecordedRequest> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  std::vector<RecordedRequest> RequestsWithCode(std::uint32_t code) {
    std::vector<RecordedRequest> matching;
    for (const auto& request : Requests())
      if (request.code == code) matching.push_back(request);
    return matching;
  }

 private:
  void AnswerControl(platform::virt::RequestId id) {
    platform::virt::CompleteRequest(
        id, controlError, [&](const platform::virt::RequestBuffers& b) -> std::uint32_t {
          const auto n = std::min<std::uint32_t>(b.outSize - usb::kTransferRecordSize,
                                                 std::uint32_t(controlReply.size()));
          if (n) std::memcpy(b.out + usb::kTransferRecordSize, controlReply.data(), n);
          std::memcpy(b.out + 18, &controlUsbStatus, 4);
          return usb::kTransferRecordSize + n;
        });
  }

  void CancelEndpoint(std::uint8_t endpoint) {
    for (const auto& request : Requests())
      if (request.endpoint == endpoint && request.code != usb::CODE_ABORT_ENDPOINT)
        platform::virt::CompleteRequest(request.id, platform::kErrorOperationAborted);
  }

  std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace lumo::test
