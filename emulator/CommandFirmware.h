// The firmware behind CameraFirmware: routes vendor requests, serves the
// command channel (register file, buffer channel), keeps the outgoing
// stream, the faults and the record of what the host sent.
//
// One mutex guards the state. The buffer responder and the stream handler
// run outside it, so they may call back into the firmware; OUT transfers
// reach the firmware one at a time (the device serialises its control
// pipe), which keeps answers in the order of the requests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "AnswerFaults.h"
#include "OutgoingStream.h"
#include "lumo/emulator/CameraFirmware.h"

namespace lumo::emulator {

class CommandFirmware {
 public:
  bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data);
  // Passes the end of an answered request on to the stream.
  void OnAnswered(const SetupPacket& setup);
  void SetStreamHandler(std::unique_ptr<VendorRequestHandler> handler);

  void SetRegister(std::uint32_t address, std::vector<std::uint8_t> bytes);
  std::optional<std::vector<std::uint8_t>> Register(std::uint32_t address) const;
  void ClearRegisters();

  void SetBufferResponder(CameraFirmware::BufferResponder responder);
  void InjectBufferData(const std::vector<std::uint8_t>& bytes);
  void InjectRawBytes(const std::vector<std::uint8_t>& bytes);
  bool InjectFrame(const CameraFrame& frame);
  void SetInSplit(const InSplit& split);
  std::size_t QueuedBytes() const;
  void DiscardOutgoing();

  void InjectFault(Fault fault);
  void ClearFaults();
  std::size_t ActiveFaults() const;

  std::vector<HostFrameRecord> HostFrames() const;
  std::vector<HostFrameRecord> TakeHostFrames();
  FirmwareCounters Counters() const;
  bool WaitUntil(const std::function<bool(const FirmwareCounters&)>& done,
                 std::chrono::milliseconds timeout) const;
  bool WaitUntilNothingDelayed(std::chrono::milliseconds timeout) const;
  void Reset();

 private:
  void ReceiveFrame(const std::vector<std::uint8_t>& raw);
  std::vector<std::uint8_t> SendBytes(std::size_t requested);
  bool ServeStream(const SetupPacket& setup, std::vector<std::uint8_t>& data);

  // Each of these expects the lock held.
  void RecordLocked(HostFrameRecord record);
  // Runs an answer through the faults, encodes and queues it.
  void AnswerLocked(CameraFrame frame, bool buffer);
  // Buffer frames carrying `bytes`; `answer`: subject to faults.
  void SendBufferLocked(const std::vector<std::uint8_t>& bytes, bool answer);
  void QueueLocked(std::vector<std::uint8_t> encoded, OutgoingStream::Clock::duration delay);

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::uint32_t, std::vector<std::uint8_t>> registers_;
  CameraFirmware::BufferResponder responder_;
  OutgoingStream outgoing_;
  AnswerFaults faults_;
  std::deque<HostFrameRecord> records_;
  FirmwareCounters counters_;
  mutable std::condition_variable countersChanged_;  // WaitUntil waits on it

  std::mutex streamMutex_;  // guards stream_ and is held while it runs
  std::unique_ptr<VendorRequestHandler> stream_;
};

}  // namespace lumo::emulator
