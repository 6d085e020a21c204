// The camera's image stream behind CameraStream: serves the start request,
// and runs the thread that turns frames into blocks and completes the IN
// requests pending on the stream endpoint with them.
//
// The thread takes one pending request at a time from EndpointQueues and
// completes it itself, writing the blocks straight into the caller's
// buffer. It sleeps on a condition variable while nothing is pending;
// EndpointQueues tells it of new requests through InRequestListener. When
// the thread sleeps for want of requests, nothing else holds the stream
// back, so a new request is served at once on the thread that submitted it
// (OnInRequest): a request whose data is due then costs no wake-up and no
// switch to the stream's thread. Pauses (the rate limit, stalls) and the
// unplug fault are the thread's alone.
//
// Locking: mutex_ guards the settings, faults, counters and flags; whoever
// serves holds it except while it completes a request, and the thread also
// releases it while it unplugs the device. The position in the stream
// (cursor_ and the frame buffers) belongs to whoever serves: the thread, or
// while serving_ is set the submitting thread that set it. Neither calls
// into the driver or the firmware with mutex_ held, so the device may
// unplug itself from the thread (the unplug fault) without deadlock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "EndpointQueues.h"
#include "StreamFaults.h"
#include "StreamFrames.h"
#include "lumo/emulator/CameraStream.h"

namespace lumo::emulator {

// Frames whose header times the stream remembers.
constexpr std::size_t kHeaderTimesKept = 4096;

class StreamEngine : public InRequestListener {
 public:
  // `unplug` removes the device; the unplug fault calls it from the
  // stream's thread with no lock of the stream held.
  StreamEngine(EndpointQueues& queues, std::function<void()> unplug);
  ~StreamEngine() override;
  StreamEngine(const StreamEngine&) = delete;
  StreamEngine& operator=(const StreamEngine&) = delete;

  // Serves the start request; stalls everything else.
  bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data);
  // The start request has been answered: the stream begins.
  void OnAnswered(const SetupPacket& setup);
  void OnInRequest() override;
  // The device was unplugged: the stream stops until the next start request.
  void DeviceGone();

  void SetConfig(const StreamConfig& config);
  StreamConfig Config() const;
  void SetNextFrameNumber(std::uint32_t frameNumber);
  void InjectFault(const StreamFault& fault);
  void ClearFaults();
  std::size_t ActiveFaults() const;
  StreamCounters Counters() const;
  bool Streaming() const;
  bool WaitUntil(const std::function<bool(const StreamCounters&)>& done,
                 std::chrono::milliseconds timeout) const;
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
  std::optional<std::int64_t> HeaderSentNs(std::uint32_t frameNumber) const;

 private:
  using Clock = std::chrono::steady_clock;

  // Where the thread stands in the frame being sent. Which blocks go out
  // (the block faults' choices) is decided ahead into `chosen`; how far
  // requests have taken them moves only when a completion succeeds, so a
  // request that turns out to be gone (its handle was closed) takes nothing
  // from the stream.
  struct Cursor {
    bool open = false;
    bool raw = true;
    std::uint32_t frame = 0;
    std::uint32_t blocks = 0;           // the header and the data blocks
    std::uint32_t rawFullBlocks = 0;    // raw: data blocks holding image bytes only
    std::uint32_t nextBlock = 0;        // the next block to choose
    std::vector<std::uint32_t> chosen;  // blocks to send in order; copies repeat
    std::size_t head = 0;               // the entry of `chosen` being sent
    std::uint32_t offset = 0;           // bytes of that entry taken
    std::uint64_t bytes = 0;            // bytes of the frame taken, lost ones included
    bool delivered = false;             // a request carried bytes of it to the host
    bool damaged = false;               // a block left out, or bytes lost in a failed request
    std::uint32_t blocksDone = 0;       // entries taken whole
    std::optional<std::uint32_t> unplugAfter;
    bool skipHeader = false;
  };

  struct Piece {
    const std::uint8_t* data;
    std::uint32_t size;
  };

  // What one completion does.
  struct Plan {
    enum class Kind { kData, kZeroLength, kError } kind = Kind::kData;
    std::uint32_t error = 0;
    std::uint32_t bytes = 0;
    std::uint32_t blocksFinished = 0;
    std::size_t head = 0;  // where the cursor stands after the completion
    std::uint32_t offset = 0;
    bool startsFrame = false;
    std::uint32_t frame = 0;
    std::chrono::steady_clock::time_point sentAt{};  // when its completion began
  };

  // What the stream does next, as Advance found it.
  struct Step {
    enum class Kind {
      kProgress,   // served a request or moved on in the stream: look again
      kNoRequest,  // ready to send, but no request waits
      kIdle,       // nothing to do until Wake
      kPause,      // a stall, the rate limit or an empty frame: until `until`
      kUnplug,     // the unplug fault is due
    } kind = Kind::kProgress;
    Clock::time_point until{};
  };

  void Run();
  // Takes the stream one step on: serves one request if one waits and the
  // stream may send. Expects mutex_ held and the stream's position owned by
  // the caller (the thread, or the submitter that set serving_); releases
  // mutex_ while it completes the request.
  Step Advance(std::unique_lock<std::mutex>& lock);
  // Both expect mutex_ held. Wake gives the thread (if started) something
  // to look at; WaitIdle is the thread's wait for such a wake-up, with
  // nothing to do until then.
  void Wake();
  void WaitIdle(std::unique_lock<std::mutex>& lock);
  // Each of these expects mutex_ held and runs where Advance does.
  void Restart();
  void ResetCursor();
  void OpenFrame();
  void CloseFrame();
  // Appends the next block (twice when duplicated) to cursor_.chosen; false
  // at the frame's end or where the unplug fault stops it.
  bool ChooseBlock();
  bool UnplugDue() const;
  std::uint32_t TransferBytes(const TransferTarget& target);
  void PlanBytes(Plan& plan, std::uint32_t want);
  void Commit(const Plan& plan);

  const std::uint8_t* BlockData(std::uint32_t logical) const;
  // Completes `target` after `plan`, without mutex_.
  bool Complete(const TransferTarget& target, const Plan& plan);

  EndpointQueues& queues_;
  const std::function<void()> unplug_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;              // the stream's thread waits on it
  mutable std::condition_variable progress_;  // WaitUntil waits on it
  std::atomic<bool> sleeping_{false};         // the thread waits for a request
  bool serving_ = false;                      // a submitting thread serves requests (OnInRequest)
  // The thread has nothing to do until Wake: it waits for a request, a start
  // request or new settings, or has not been started. Not set during a
  // stall or the rate limit's pause, which end by themselves.
  bool idle_ = true;
  bool stop_ = false;
  bool active_ = false;
  bool restart_ = false;
  bool stalled_ = false;
  Clock::time_point stallUntil_;
  Clock::time_point nextSend_;  // the rate limit's clock
  StreamConfig config_;
  std::mt19937 fillerRandom_;
  std::mt19937 shortRandom_;
  StreamFaults faults_;
  StreamCounters counters_;
  std::uint32_t nextFrame_ = 1;
  // When the request carrying each recent frame's first bytes (its header
  // block) was completed, by frame number modulo the table's size.
  struct HeaderTime {
    std::uint32_t frame = 0;
    std::int64_t sentNs = -1;
  };
  std::array<HeaderTime, kHeaderTimesKept> headerTimes_{};
  std::uint64_t framesThisRun_ = 0;
  std::thread thread_;

  // Whoever serves owns these (see the locking note above).
  Cursor cursor_;
  std::array<std::uint8_t, kStreamBlockSize> header_{};
  std::array<std::uint8_t, kStreamBlockSize> lastRawBlock_{};
  RawPattern raw_;
  LineFrameBuilder lines_;
  std::vector<Piece> pieces_;
  std::vector<std::uint8_t> gather_;  // requests that are not direct
};

}  // namespace lumo::emulator
