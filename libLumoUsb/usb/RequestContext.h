// RequestContext: the request record (TransferRecord, packet table, data)
// that one transfer hands to the driver. It belongs to the caller from the
// submit until FinishTransfer releases it.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Platform.h"
#include "usb/DriverInterface.h"

namespace lumo::usb {

class RequestContext final {
 public:
  // A cleared record of `size` bytes (at least the 38-byte header) for a
  // request on `endpointAddress` of `device`, tracked through `overlapped`.
  RequestContext(std::uint32_t size, platform::Handle device, platform::Overlapped* overlapped,
                 std::uint8_t endpointAddress);
  // A request the driver may still write into is never released under it:
  // the endpoint's requests are cancelled and the completion awaited first.
  ~RequestContext();
  RequestContext(const RequestContext&) = delete;
  RequestContext& operator=(const RequestContext&) = delete;

  TransferRecord& Header() { return *header_; }
  const TransferRecord& Header() const { return *header_; }
  std::uint8_t* Bytes() { return bytes_; }
  std::uint32_t Size() const { return size_; }

  // True while the driver has not finished the request.
  bool Outstanding() const;

  // The request brings data back inside the record, to be copied out when
  // it finishes.
  bool DataIn() const { return dataIn_; }
  void SetDataIn(bool dataIn) { dataIn_ = dataIn; }

  // Contexts are recycled through a small pool, and records up to
  // kInlineRecordSize bytes live inside the context: a stream of direct
  // transfers allocates nothing once running. Builds with AddressSanitizer
  // do not recycle, so that a record used after its release is reported.
  static void* operator new(std::size_t size);
  static void operator delete(void* pointer, std::size_t size);

  static constexpr std::uint32_t kInlineRecordSize = 64;

 private:
  alignas(8) std::uint8_t inline_[kInlineRecordSize];
  std::unique_ptr<std::uint8_t[]> heap_;
  std::uint8_t* bytes_;
  std::uint32_t size_;
  TransferRecord* header_;
  platform::Handle device_;
  platform::Overlapped* overlapped_;
  std::uint8_t endpointAddress_;
  bool dataIn_ = false;
};

using RequestHandle = std::unique_ptr<RequestContext>;

}  // namespace lumo::usb
