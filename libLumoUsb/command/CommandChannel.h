// CommandChannel: everything a camera's command channel keeps: the two
// endpoint-zero objects, the response reader thread and its receive state,
// the register answers and the buffer-channel ring, and the locks through
// which caller threads take turns on it. The register and buffer operations
// (RegisterAccess.h, BufferChannel.h) and the response receiver
// (ResponseReceiver.h) work on it; the camera owns one and opens and closes
// it with the camera.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "command/ChannelGate.h"
#include "command/PollPacer.h"
#include "platform/Platform.h"
#include "platform/TimedMutex.h"
#include "usb/ControlEndPoint.h"

namespace lumo::command {

// Receive states of the command-frame receiver.
enum ReceiveState : std::uint32_t {
  kReceiveIdle = 1,
  kReceiveAwaitControl = 2,
  kReceiveAwaitLength = 4,
  kReceiveInBody = 8,
  kReceiveEscapePending = 0x80000000u,
};

class CommandChannel {
 public:
  // The channel reads whether it is open, and whether its camera is away,
  // from `gate`, which must outlive it; without one it stays closed.
  explicit CommandChannel(const ChannelGate* gate = nullptr) : gate_(gate ? gate : &ClosedGate()) {}
  // Stops the response reader if it still runs.
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Opening the channel on an opened device, in two steps around the
  // camera's change to open (the camera's lifecycle lock is held): first
  // both endpoint-zero objects on `driverHandle`, so that calls find them
  // once the gate says open; then the response reader, which ends at once
  // on a closed gate.
  void MakeEndpoints(platform::Handle driverHandle, std::uint16_t ep0PacketSize);
  void StartReader();
  // The camera is back after an unplug: answers of before the removal are
  // forgotten and the receiver starts afresh; then MakeEndpoints and
  // StartReader as for an open.
  void ForgetAnswers();
  // The gate has just closed, or the camera has gone: calls waiting for an
  // answer or for buffer bytes look at the gate again, and end.
  void WakeWaiters();
  // Stops and joins the response reader, then destroys the endpoints, the
  // command endpoint once no call uses it any more.
  void StopReader();

  // Views of the camera's lifecycle state (the gate).
  bool IsOpen() const { return gate_->IsOpen(); }
  bool IsAway() const { return gate_->IsAway(); }
  // The reader thread's run flag.
  std::atomic<bool> responseReaderRunning{false};
  // The handle of the camera the channel belongs to: the messages of its
  // response reader name it. Set once, before the channel is opened.
  const void* cameraHandle = nullptr;

  // Statistics, counted with relaxed increments and read at any time:
  // answers dropped for a wrong check byte (by the response reader), and
  // register calls whose answer did not come within their time limit.
  std::atomic<std::uint64_t> checkByteErrors{0};
  std::atomic<std::uint64_t> answerTimeouts{0};

  // Locks, outermost first: commandLock is held by a register call or a
  // buffer send from before its request is sent until its answer is taken,
  // so that calls take turns on commandEndpoint and on the one awaited
  // address; callers wait for it no longer than their time limit, in the
  // order they came. responseLock and bufferLock are short and never held
  // together.
  platform::TimedMutex commandLock;

  // Used only by the response reader thread.
  std::unique_ptr<usb::CLumoControlEndPoint> responseEndpoint;
  // Carries every host-to-camera frame. Used under commandLock.
  std::unique_ptr<usb::CLumoControlEndPoint> commandEndpoint;
  std::thread responseReaderThread;

  std::array<std::uint8_t, 2048> bufferRing;              // left uninitialised
  std::array<std::uint8_t, 2048> responseTransferBuffer;  // left uninitialised

  std::condition_variable bufferCondition;
  bool bufferArrived = false;
  std::mutex bufferLock;  // guards bufferArrived, the ring's bytes and indices

  std::map<std::uint32_t, std::vector<std::uint8_t>> responseStore;
  std::condition_variable responseCondition;
  bool responseArrived = false;
  std::mutex responseLock;  // guards responseStore, responseArrived, awaitedAddress, checkFailed
  std::uint32_t awaitedAddress = 0;
  // A frame failed its check byte while an answer was awaited: a wait that
  // ends without its answer reports that rather than a time-out.
  bool checkFailed = false;

  // Paces the response reader's polls: quick while an answer is awaited.
  PollPacer pollPacer;

  std::uint32_t bufferReadIndex = 0;
  std::uint32_t bufferWriteIndex = 0;
  // Receive state of the frame being received; the reader thread's alone.
  std::array<std::uint8_t, 1024> rxBody{};
  std::uint32_t rxState = kReceiveIdle;
  std::uint8_t rxControl = 0;
  std::uint8_t rxLength = 0;
  std::uint16_t rxExpected = 0;
  std::uint8_t rxCount = 0;

 private:
  const ChannelGate* gate_;
};

}  // namespace lumo::command
