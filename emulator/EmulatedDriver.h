// The kernel driver's side of an emulated device: reads each I/O control
// request as it arrives, answers the information codes, runs endpoint-zero
// requests through ControlRequests and hands transfers on other endpoints
// to EndpointQueues. Unknown codes are refused with ERROR_INVALID_FUNCTION.
// Opens and synchronous requests pass the device's gate first (DeviceGate.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "ControlRequests.h"
#include "DeviceGate.h"
#include "EndpointQueues.h"
#include "platform/virtual/VirtualBus.h"

namespace lumo::emulator {

class EmulatedDriver : public platform::virt::VirtualDriver {
 public:
  EmulatedDriver(ControlRequests& control, EndpointQueues& queues, DeviceGate& gate);

  void OnRequest(const platform::virt::RequestInfo& request) override;
  std::uint32_t OnHandleOpened() override;

  std::uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }
  std::uint64_t Stalled() const { return stalled_.load(std::memory_order_relaxed); }
  std::uint64_t Aborted() const { return aborted_.load(std::memory_order_relaxed); }

 private:
  void AnswerBytes(const platform::virt::RequestInfo& request, const std::uint8_t* answer,
                   std::uint32_t size);
  void Control(const platform::virt::RequestInfo& request);
  void Transfer(const platform::virt::RequestInfo& request, bool direct);
  void SetTransferLength(const platform::virt::RequestInfo& request);
  void AbortEndpoint(const platform::virt::RequestInfo& request);
  void Stall(const TransferTarget& target);

  ControlRequests& control_;
  EndpointQueues& queues_;
  DeviceGate& gate_;
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> stalled_{0};
  std::atomic<std::uint64_t> aborted_{0};
};

}  // namespace lumo::emulator
