#include "StreamEngine.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "TransferReplies.h"
#include "lumo/emulator/CameraFirmware.h"
#include "platform/ErrorCodes.h"
#include "platform/virtual/VirtualBus.h"

namespace lumo::emulator {

namespace virt = platform::virt;

namespace {

// How far the rate limit lets the stream run ahead after a pause: a burst
// of this long at the configured rate.
constexpr auto kRateBurst = std::chrono::milliseconds(1);
// A frame that sends nothing (all of it left out by faults) is followed by
// this pause, so that such faults do not spin the thread.
constexpr auto kEmptyFramePause = std::chrono::milliseconds(1);
constexpr std::uint32_t kMaxPixelSize = 8;

StreamConfig Sanitized(StreamConfig config) {
  config.pixelSize = std::clamp<std::uint32_t>(config.pixelSize, 1, kMaxPixelSize);
  config.maxFillerWords = std::min(config.maxFillerWords, kMaxPacketWords);
  ShortTransfers& s = config.shortTransfers;
  s.minBytes = std::max<std::uint32_t>(s.minBytes, 1);
  s.maxBytes = std::max(s.maxBytes, s.minBytes);
  return config;
}

bool IsStartRequest(const SetupPacket& setup) {
  return setup.requestType == kStreamStartRequestType && setup.request == kStreamStartRequest &&
         setup.value == kStreamStartValue && setup.index == 0;
}

}  // namespace

StreamEngine::StreamEngine(EndpointQueues& queues, std::function<void()> unplug)
    : queues_(queues),
      unplug_(std::move(unplug)),
      fillerRandom_(config_.fillerSeed),
      shortRandom_(config_.shortTransfers.seed) {
  queues_.SetInListener(kStreamEndpoint, this);
}

StreamEngine::~StreamEngine() {
  queues_.SetInListener(kStreamEndpoint, nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    Wake();
  }
  if (thread_.joinable()) thread_.join();
}

bool StreamEngine::OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data) {
  if (!IsStartRequest(setup)) return false;
  data.assign(std::min<std::size_t>(setup.length, kStreamStartLength), 0);
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.startRequests;
  progress_.notify_all();
  return true;
}

void StreamEngine::OnAnswered(const SetupPacket& setup) {
  if (!IsStartRequest(setup)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = true;
  restart_ = true;
  stalled_ = false;
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  Wake();
  progress_.notify_all();
}

void StreamEngine::OnInRequest() {
  // A thread that is busy finds the request itself; see Run for why no
  // wake-up is lost.
  if (!sleeping_.load()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  // Another submitter serving here takes this request too: it serves until
  // none is left.
  if (!sleeping_.load() || serving_ || stop_) return;
  if (!config_.serveOnSubmittingThread) {
    Wake();
    return;
  }
  // The thread waits for requests, so nothing else keeps the stream back:
  // serve on the submitting thread rather than wake the stream's thread for
  // each request. Advance applies the same checks as on the thread (the rate
  // limit, stalls, the frame limit); whatever needs waiting or the unplug
  // goes back to the thread.
  serving_ = true;
  idle_ = false;
  Step step;
  do {
    step = Advance(lock);
  } while (step.kind == Step::Kind::kProgress);
  serving_ = false;
  if (step.kind == Step::Kind::kNoRequest && sleeping_.load()) {
    idle_ = true;  // the thread still waits, with nothing to do
    progress_.notify_all();
  } else {
    Wake();
  }
}

void StreamEngine::DeviceGone() {
  std::lock_guard<std::mutex> lock(mutex_);
  active_ = false;
  restart_ = true;
  stalled_ = false;
  Wake();
  progress_.notify_all();
}

void StreamEngine::SetConfig(const StreamConfig& config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = Sanitized(config);
  fillerRandom_.seed(config_.fillerSeed);
  shortRandom_.seed(config_.shortTransfers.seed);
  Wake();
}

StreamConfig StreamEngine::Config() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

void StreamEngine::SetNextFrameNumber(std::uint32_t frameNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextFrame_ = frameNumber;
}

void StreamEngine::InjectFault(const StreamFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.Add(fault);
}

void StreamEngine::ClearFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.Clear();
  stalled_ = false;
  Wake();
}

std::size_t StreamEngine::ActiveFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_.Active();
}

StreamCounters StreamEngine::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

bool StreamEngine::Streaming() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

bool StreamEngine::WaitUntil(const std::function<bool(const StreamCounters&)>& done,
                             std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return progress_.wait_for(lock, timeout, [&] { return done(counters_); });
}

bool StreamEngine::WaitUntilIdle(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return progress_.wait_for(lock, timeout, [&] { return idle_; });
}

void StreamEngine::Wake() {
  // Before the first start request there is no thread to wake.
  if (thread_.joinable()) idle_ = false;
  wake_.notify_one();
}

void StreamEngine::WaitIdle(std::unique_lock<std::mutex>& lock) {
  idle_ = true;
  progress_.notify_all();
  wake_.wait(lock);
  idle_ = false;
}

void StreamEngine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (serving_) {
      // A submitting thread has the stream; it wakes us when it is done
      // with something left for us.
      wake_.wait(lock);
      continue;
    }
    const Step step = Advance(lock);
    switch (step.kind) {
      case Step::Kind::kProgress:
        break;
      case Step::Kind::kIdle:
        WaitIdle(lock);  // until a start request or new settings
        break;
      case Step::Kind::kPause:
        wake_.wait_until(lock, step.until);
        break;
      case Step::Kind::kUnplug:
        cursor_.unplugAfter.reset();
        ++counters_.unplugs;
        progress_.notify_all();
        lock.unlock();
        unplug_();  // ends in DeviceGone
        lock.lock();
        break;
      case Step::Kind::kNoRequest:
        // A request submitted after the check below sees sleeping_ set (the
        // queue's lock orders the two) and wakes the thread or serves
        // itself; mutex_ stays held until the thread waits, so neither can
        // come too early.
        sleeping_.store(true);
        if (queues_.Pending(kStreamEndpoint) == 0) WaitIdle(lock);
        sleeping_.store(false);
        break;
    }
  }
}

StreamEngine::Step StreamEngine::Advance(std::unique_lock<std::mutex>& lock) {
  if (restart_) Restart();
  if (!active_) return Step{Step::Kind::kIdle};
  if (UnplugDue()) return Step{Step::Kind::kUnplug};
  if (cursor_.open && cursor_.head == cursor_.chosen.size() &&
      cursor_.nextBlock >= cursor_.blocks) {
    const bool empty = cursor_.chosen.empty();
    CloseFrame();
    if (empty) return Step{Step::Kind::kPause, Clock::now() + kEmptyFramePause};
    return Step{Step::Kind::kProgress};
  }
  if (!cursor_.open && config_.frameLimit != 0 && framesThisRun_ >= config_.frameLimit)
    return Step{Step::Kind::kIdle};
  if (stalled_) {
    if (Clock::now() < stallUntil_) return Step{Step::Kind::kPause, stallUntil_};
    stalled_ = false;
  }
  if (config_.bytesPerSecond != 0 && Clock::now() < nextSend_)
    return Step{Step::Kind::kPause, nextSend_};

  TransferTarget target;
  if (!queues_.TakePending(kStreamEndpoint, target)) return Step{Step::Kind::kNoRequest};
  if (!cursor_.open) OpenFrame();
  if (cursor_.head == cursor_.chosen.size() && !ChooseBlock()) {
    queues_.ReturnPending(kStreamEndpoint, target);  // the frame ends or the device goes
    return Step{Step::Kind::kProgress};
  }

  Plan plan;
  plan.frame = cursor_.frame;
  if (faults_.Any()) {
    if (auto stall = faults_.Draw(StreamFaultKind::kStall)) {
      queues_.ReturnPending(kStreamEndpoint, target);
      stalled_ = true;
      stallUntil_ = Clock::now() + stall->stall;
      ++counters_.stalls;
      progress_.notify_all();
      return Step{Step::Kind::kProgress};
    }
    if (faults_.Draw(StreamFaultKind::kZeroLength)) {
      plan.kind = Plan::Kind::kZeroLength;
    } else if (auto error = faults_.Draw(StreamFaultKind::kBusError)) {
      plan.kind = Plan::Kind::kError;
      plan.error = error->error;
    }
  }
  pieces_.clear();
  plan.head = cursor_.head;
  plan.offset = cursor_.offset;
  if (plan.kind != Plan::Kind::kZeroLength) PlanBytes(plan, TransferBytes(target));

  lock.unlock();
  plan.sentAt = Clock::now();
  const bool completed = Complete(target, plan);
  lock.lock();
  if (completed) Commit(plan);
  return Step{Step::Kind::kProgress};
}

void StreamEngine::Restart() {
  restart_ = false;
  // A frame no byte of which went out keeps its number.
  if (cursor_.open && cursor_.bytes == 0) nextFrame_ = cursor_.frame;
  ResetCursor();
  framesThisRun_ = 0;
  stalled_ = false;
  nextSend_ = Clock::now();
}

void StreamEngine::OpenFrame() {
  const StreamConfig& config = config_;
  std::uint32_t number = nextFrame_;
  HeaderFields header;
  header.packCount = config.packCount;
  header.cacheCount = config.cacheCount;
  header.cacheUseCount = config.cacheUseCount;
  Cursor next;
  if (faults_.Any()) {
    if (auto jump = faults_.Draw(StreamFaultKind::kFrameJump)) {
      number += jump->frameJump;
      ++counters_.frameJumps;
    }
    if (auto packs = faults_.Draw(StreamFaultKind::kPackCount)) {
      header.packCount = packs->packCount;
      ++counters_.packCountsChanged;
    }
    if (faults_.Draw(StreamFaultKind::kMissingHeader)) {
      next.skipHeader = true;
      ++counters_.headersLeftOut;
    }
    if (auto unplug = faults_.Draw(StreamFaultKind::kUnplug))
      next.unplugAfter = unplug->unplugAfterBlocks;
  }
  nextFrame_ = number + 1;
  header.frameNumber = number;
  next.chosen = std::move(cursor_.chosen);  // keeps its capacity
  next.chosen.clear();
  next.open = true;
  next.frame = number;

  if (config.mode == StreamMode::kRaw) {
    header.width = config.width;
    header.height = config.height;
    header.mode = kRawMode;
    const std::uint64_t imageBytes = std::uint64_t{config.width} * config.height * config.pixelSize;
    const auto full = static_cast<std::uint32_t>(imageBytes / kStreamBlockSize);
    const auto rest = static_cast<std::size_t>(imageBytes % kStreamBlockSize);
    next.raw = true;
    next.rawFullBlocks = full;
    next.blocks = 1 + full + (rest ? 1 : 0);
    if (rest) {
      std::memcpy(lastRawBlock_.data(), raw_.Block(number, full), rest);
      std::memset(lastRawBlock_.data() + rest, 0, kStreamBlockSize - rest);
    }
  } else {
    header.width = static_cast<std::uint16_t>(kLineWidth);
    header.height = static_cast<std::uint16_t>(kLinesPerFrame);
    header.mode = kLinePacketMode;
    lines_.Build(number, config, faults_, fillerRandom_, counters_.packetAnomalies);
    next.raw = false;
    next.blocks = 1 + static_cast<std::uint32_t>(lines_.Blocks());
  }
  WriteHeaderBlock(header_.data(), header);
  cursor_ = std::move(next);
  ++framesThisRun_;
}

void StreamEngine::CloseFrame() {
  if (cursor_.delivered) {
    ++counters_.framesFinished;
    if (cursor_.damaged) ++counters_.framesDamaged;
    progress_.notify_all();
  }
  ResetCursor();
}

void StreamEngine::ResetCursor() {
  std::vector<std::uint32_t> chosen = std::move(cursor_.chosen);
  chosen.clear();
  cursor_ = Cursor{};
  cursor_.chosen = std::move(chosen);
}

bool StreamEngine::UnplugDue() const {
  return cursor_.open && cursor_.unplugAfter && cursor_.blocksDone >= *cursor_.unplugAfter;
}

bool StreamEngine::ChooseBlock() {
  if (cursor_.unplugAfter && cursor_.chosen.size() >= *cursor_.unplugAfter) return false;
  while (cursor_.nextBlock < cursor_.blocks) {
    const std::uint32_t block = cursor_.nextBlock++;
    const bool header = block == 0;
    if (header && cursor_.skipHeader) continue;
    bool twice = false;
    if (faults_.Any()) {
      if (faults_.Draw(StreamFaultKind::kDropBlock, header)) {
        ++counters_.blocksDropped;
        cursor_.damaged = true;
        continue;
      }
      if (faults_.Draw(StreamFaultKind::kDuplicateBlock, header)) {
        twice = true;
        ++counters_.blocksDuplicated;
      }
    }
    cursor_.chosen.push_back(block);
    if (twice) cursor_.chosen.push_back(block);
    return true;
  }
  return false;
}

std::uint32_t StreamEngine::TransferBytes(const TransferTarget& target) {
  const ShortTransfers& s = config_.shortTransfers;
  if (!s.enabled) return target.capacity;
  const std::uint32_t span = s.maxBytes - s.minBytes;
  const std::uint32_t drawn =
      s.minBytes + (span == 0xFFFFFFFFu ? shortRandom_() : shortRandom_() % (span + 1));
  return std::min(drawn, target.capacity);
}

void StreamEngine::PlanBytes(Plan& plan, std::uint32_t want) {
  plan.startsFrame = cursor_.bytes == 0;
  while (want > 0) {
    // A request carries bytes of one frame at most.
    if (plan.head == cursor_.chosen.size() && !ChooseBlock()) break;
    const std::uint32_t n =
        std::min<std::uint32_t>(want, static_cast<std::uint32_t>(kStreamBlockSize) - plan.offset);
    pieces_.push_back(Piece{BlockData(cursor_.chosen[plan.head]) + plan.offset, n});
    plan.offset += n;
    plan.bytes += n;
    want -= n;
    if (plan.offset == kStreamBlockSize) {
      ++plan.head;
      plan.offset = 0;
      ++plan.blocksFinished;
    }
  }
}

const std::uint8_t* StreamEngine::BlockData(std::uint32_t logical) const {
  if (logical == 0) return header_.data();
  const std::uint32_t data = logical - 1;
  if (!cursor_.raw) return lines_.Block(data);
  return data < cursor_.rawFullBlocks ? raw_.Block(cursor_.frame, data) : lastRawBlock_.data();
}

bool StreamEngine::Complete(const TransferTarget& target, const Plan& plan) {
  switch (plan.kind) {
    case Plan::Kind::kZeroLength:
      return FinishIn(target, nullptr, 0);
    case Plan::Kind::kError:
      return virt::CompleteRequest(
          target.id, plan.error, [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
            return target.direct ? 0 : std::min(target.dataOffset, buffers.outSize);
          });
    case Plan::Kind::kData:
      break;
  }
  if (!target.direct) {
    gather_.clear();
    for (const Piece& piece : pieces_)
      gather_.insert(gather_.end(), piece.data, piece.data + piece.size);
    return FinishIn(target, gather_.data(), static_cast<std::uint32_t>(gather_.size()));
  }
  // The common case: the blocks go straight into the caller's buffer.
  return virt::CompleteRequest(target.id, platform::kErrorSuccess,
                               [&](const virt::RequestBuffers& buffers) -> std::uint32_t {
                                 std::uint32_t at = 0;
                                 for (const Piece& piece : pieces_) {
                                   const std::uint32_t n =
                                       std::min(piece.size, buffers.outSize - at);
                                   std::memcpy(buffers.out + at, piece.data, n);
                                   at += n;
                                 }
                                 return at;
                               });
}

void StreamEngine::Commit(const Plan& plan) {
  ++counters_.transfersCompleted;
  // The bytes of a failed transfer are gone as well.
  cursor_.head = plan.head;
  cursor_.offset = plan.offset;
  cursor_.bytes += plan.bytes;
  cursor_.blocksDone += plan.blocksFinished;
  switch (plan.kind) {
    case Plan::Kind::kZeroLength:
      ++counters_.zeroLengthTransfers;
      break;
    case Plan::Kind::kError:
      ++counters_.transferErrors;
      if (plan.bytes > 0) cursor_.damaged = true;
      break;
    case Plan::Kind::kData:
      counters_.bytesSent += plan.bytes;
      counters_.blocksSent += plan.blocksFinished;
      if (plan.startsFrame && plan.bytes > 0) {
        ++counters_.framesStarted;
        counters_.lastFrameNumber = plan.frame;
        headerTimes_[plan.frame % kHeaderTimesKept] = HeaderTime{
            plan.frame,
            std::chrono::duration_cast<std::chrono::nanoseconds>(plan.sentAt.time_since_epoch())
                .count()};
      }
      if (plan.bytes > 0) cursor_.delivered = true;
      if (config_.bytesPerSecond != 0) {
        const auto now = Clock::now();
        if (nextSend_ < now - kRateBurst) nextSend_ = now - kRateBurst;
        nextSend_ += std::chrono::nanoseconds(plan.bytes * std::uint64_t{1000000000} /
                                              config_.bytesPerSecond);
      }
      break;
  }
  progress_.notify_all();
}

std::optional<std::int64_t> StreamEngine::HeaderSentNs(std::uint32_t frameNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const HeaderTime& entry = headerTimes_[frameNumber % kHeaderTimesKept];
  if (entry.sentNs < 0 || entry.frame != frameNumber) return std::nullopt;
  return entry.sentNs;
}

}  // namespace lumo::emulator
