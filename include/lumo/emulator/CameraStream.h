// The camera's image stream, and the faults tests make it commit.
//
// The host starts the stream with a vendor control IN request on endpoint
// zero: request type 0xC0, request 0xFE, value 0xFF00, index 0, length 64.
// The camera answers 64 zero bytes and begins a new frame with its header
// block; frame numbers keep counting up across starts. There is no stop
// request: the camera sends only into IN requests pending on bulk endpoint
// 0x81, so the stream pauses while the host has none and goes on where it
// paused when requests arrive again. A new start request abandons the
// frame being sent and begins the next one.
//
// The stream is a sequence of 4096-byte blocks. Each IN request takes the
// next bytes of it, up to its length; a request never takes bytes of two
// frames, so the last request of a frame may come back short. With
// ShortTransfers enabled requests come back with fewer bytes, cutting
// blocks anywhere.
//
// A frame is a header block followed by data blocks. The header block
// (little-endian): five magic words kFrameMagic at 0; width at 24 (u16),
// height at 26 (u16), the frame number at 28 (u32), the pack count at 32
// (u32), the cache counters at 40 and 42 (u16 each), the mode word at 44
// (u32: kLinePacketMode or kRawMode); every other byte is zero.
//
// Raw frames: ceil(width * height * pixelSize / 4096) data blocks holding
// the image bytes, RawImageByte(frame, i) for byte i; the last block is
// padded with zeros.
//
// Line-packet frames (kLineWidth x kLinesPerFrame, 8 bits per pixel): the
// data blocks carry 16-bit little-endian words forming packets: the sync
// words C53A A35C C53A, a type word (low byte: PacketType), the payload
// length in words (high half, then low half), the payload. A frame holds
// one info packet of kInfoWords words (InfoWord) and kLinesPerFrame line
// packets of kLineWords words (LineWord): a first line, further lines and a
// last line, in line order, either after or before the info packet. Packets
// start at any word and run across blocks; filler packets may sit between
// them; the last block is padded with zeros or one filler. Payload words
// are all below 0x8000, so no payload contains the sync sequence.
//
// Every CameraStream member may be called from any thread at any time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "lumo/Export.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

// ---- the wire

constexpr std::uint8_t kStreamEndpoint = 0x81;
constexpr std::uint8_t kStreamStartRequestType = 0xC0;  // vendor, device, camera to host
constexpr std::uint8_t kStreamStartRequest = 0xFE;
// The start request's wValue is kStreamStartValue (CameraFirmware.h).
constexpr std::uint16_t kStreamStartLength = 64;
constexpr std::size_t kStreamBlockSize = 4096;

constexpr std::uint32_t kFrameMagic[5] = {0x803C4953, 0x93498218, 0x05897F8D, 0x9AB38089,
                                          0x0100A000};
// The mode word of line-packet frames: the bytes "LMCR" in stream order.
constexpr std::uint32_t kLinePacketMode = 0x52434D4C;
// The mode word the camera writes into raw frames (any word but the above).
constexpr std::uint32_t kRawMode = 0;
constexpr std::uint32_t kDefaultPackCount = 305;

constexpr std::uint16_t kPacketSyncA = 0xC53A;  // first and third sync word
constexpr std::uint16_t kPacketSyncB = 0xA35C;  // second sync word
constexpr std::uint32_t kPacketHeaderWords = 6;
// The longest payload the host accepts, in words.
constexpr std::uint32_t kMaxPacketWords = 10000;

enum class PacketType : std::uint8_t {
  kFrameInfo = 1,
  kFirstLine = 2,
  kLine = 3,  // lines between the first and the last
  kLastLine = 4,
  kFiller = 0x80,  // payload skipped
};

constexpr std::uint32_t kLineWidth = 1000;  // pixels per line, line-packet frames
constexpr std::uint32_t kLinesPerFrame = 1000;
constexpr std::uint32_t kLineWords = kLineWidth / 2;
constexpr std::uint32_t kInfoWords = 16;

// ---- the patterns a receiver checks data against

// Byte `offset` of raw frame `frameNumber`'s image. With k = offset / 4096,
// o = offset % 4096, s = (7 * frameNumber + 13 * k) mod 256 and x = o + s,
// the byte is (x + x / 256) mod 256.
LUMO_EMULATOR_API std::uint8_t RawImageByte(std::uint32_t frameNumber, std::uint32_t offset);
// Payload word `word` (0..kLineWords-1) of line `line` (0..kLinesPerFrame-1)
// of frame `frameNumber`: (131 * frameNumber + 17 * line + 3 * word) mod 32768,
// computed in 32 bits. Its low byte is pixel 2 * word of the line, its high
// byte pixel 2 * word + 1.
LUMO_EMULATOR_API std::uint16_t LineWord(std::uint32_t frameNumber, std::uint32_t line,
                                         std::uint32_t word);
// Payload word `word` (0..kInfoWords-1) of frame `frameNumber`'s info packet:
// (frameNumber + 257 * word) mod 32768. Word 0 is the frame number's low 15
// bits, word 6 is (frameNumber + 1542) mod 32768.
LUMO_EMULATOR_API std::uint16_t InfoWord(std::uint32_t frameNumber, std::uint32_t word);

// ---- settings

enum class StreamMode { kRaw, kLinePacket };
// Where the info packet sits among the lines of a line-packet frame.
enum class LineOrder { kInfoFirst, kLinesFirst };
enum class Fillers {
  kNone,
  // A filler packet between every two packets, 0..maxFillerWords payload
  // words long (drawn from fillerSeed), so packets start at varying words.
  kBetweenPackets,
};
// What fills a line-packet frame's last block after its last packet: zeros,
// or one filler packet when at least a packet header fits (zeros otherwise).
enum class FramePadding { kZeros, kFiller };

// Requests that come back with fewer bytes than they ask for: each takes a
// number of bytes drawn between minBytes and maxBytes (at most its length).
struct ShortTransfers {
  bool enabled = false;
  std::uint32_t minBytes = 1;
  std::uint32_t maxBytes = kStreamBlockSize - 1;
  std::uint32_t seed = 1;
};

// Settings take effect with the next frame; the transfer settings
// (shortTransfers, bytesPerSecond) and frameLimit at once.
struct StreamConfig {
  StreamMode mode = StreamMode::kRaw;
  // Raw frames: the image size (1024 x 768 x 2 bytes: 384 data blocks).
  // Line-packet frames always carry kLineWidth x kLinesPerFrame.
  std::uint16_t width = 1024;
  std::uint16_t height = 768;
  std::uint32_t pixelSize = 2;  // bytes per pixel; the host's setting must match
  std::uint32_t packCount = kDefaultPackCount;
  std::uint16_t cacheCount = 0;     // header field ncache_count
  std::uint16_t cacheUseCount = 0;  // header field ncache_use_count
  LineOrder lineOrder = LineOrder::kInfoFirst;
  Fillers fillers = Fillers::kNone;
  std::uint32_t maxFillerWords = 40;
  std::uint32_t fillerSeed = 1;
  FramePadding padding = FramePadding::kZeros;
  ShortTransfers shortTransfers;
  // Frames sent after each start request; then requests stay pending until
  // the next start request. 0: no limit.
  std::uint64_t frameLimit = 0;
  // The most bytes per second the camera sends (0: as fast as it can).
  std::uint64_t bytesPerSecond = 400000000;
  // A request that finds the stream idle and its data due is served on the
  // thread that submits it, saving a wake-up of the stream's thread per
  // request. Off, every request is served by the stream's own thread, as a
  // device's driver completes transfers on its own: the submitter's CPU
  // then carries none of the camera's work (benchmarks of the library).
  bool serveOnSubmittingThread = true;
};

// ---- faults

enum class StreamFaultKind {
  // Blocks (subject to StreamFault::blocks).
  kDropBlock,       // the block is left out
  kDuplicateBlock,  // the block is sent twice in a row
  // Frames.
  kMissingHeader,  // the frame's header block is left out
  kFrameJump,      // the frame is numbered frameJump higher; counting goes on from there
  kPackCount,      // the header carries packCount instead of the configured count
  kUnplug,         // the device is unplugged after unplugAfterBlocks blocks of the frame
  kEarlyLine,      // line-packet frames: a further-line packet (line 1's payload)
                   // comes before the frame's first packet
  // Transfers.
  kStall,       // no request is completed for `stall`; a start request, ClearFaults
                // or unplugging ends it early
  kBusError,    // the request fails with `error`; the bytes it would have carried are lost
  kZeroLength,  // the request succeeds with no bytes; the stream does not move
  // Packets of line-packet frames (info and line packets; they are still
  // sent after an inserted packet).
  kDoubledSync,     // an extra C53A comes before the packet's sync
  kBrokenSync,      // the packet's second sync word is A35D
  kOverlongLength,  // the packet announces `length` words; its real payload follows
  kUnknownType,     // a packet of type packetType (default 0x55) with 8 payload
                    // words comes before the packet
  kEmptyPacket,     // a packet of type packetType (default 3) without payload
                    // comes before the packet
};

// Which blocks kDropBlock and kDuplicateBlock may hit.
enum class BlockTarget { kAnyBlock, kHeaderBlocks, kDataBlocks };

// One fault. Each chance it has (a block, a frame, a transfer or a packet,
// by kind) it hits with `probability`, drawn from a generator seeded with
// `seed`, until it has hit `count` times.
struct LUMO_EMULATOR_API StreamFault {
  StreamFaultKind kind = StreamFaultKind::kDropBlock;
  std::uint32_t count = 1;  // 0: no limit
  double probability = 1.0;
  std::uint32_t seed = 1;

  // What each kind does when it hits (see StreamFaultKind).
  BlockTarget blocks = BlockTarget::kDataBlocks;  // kDropBlock, kDuplicateBlock
  std::uint32_t frameJump = 5;                    // kFrameJump
  std::uint32_t packCount = 304;                  // kPackCount
  std::chrono::milliseconds stall{2500};          // kStall
  std::uint32_t error = 31;                       // kBusError (ERROR_GEN_FAILURE)
  std::uint32_t unplugAfterBlocks = 100;          // kUnplug, the header counted
  std::uint32_t length = kMaxPacketWords + 1;     // kOverlongLength
  std::optional<std::uint8_t> packetType;         // kUnknownType, kEmptyPacket

  // The next `n` chances.
  static StreamFault Next(StreamFaultKind kind, std::uint32_t n = 1);
  // Each chance with probability `p`, drawn from `seed`; at most `n` hits
  // (0: no limit).
  static StreamFault Random(StreamFaultKind kind, double p, std::uint32_t seed,
                            std::uint32_t n = 0);
};

struct StreamCounters {
  std::uint64_t startRequests = 0;
  std::uint64_t framesStarted = 0;   // frames whose first byte was sent
  std::uint64_t framesFinished = 0;  // frames whose last block was sent
  std::uint64_t framesDamaged = 0;   // of those, with a block left out or bytes lost in a failure
  std::uint64_t blocksSent = 0;      // blocks whose last byte was sent, copies included
  std::uint64_t bytesSent = 0;
  std::uint64_t transfersCompleted = 0;  // requests the stream completed, failed ones included
  std::uint32_t lastFrameNumber = 0;     // of the frame started last
  // Faults that hit.
  std::uint64_t blocksDropped = 0;
  std::uint64_t blocksDuplicated = 0;
  std::uint64_t headersLeftOut = 0;
  std::uint64_t frameJumps = 0;
  std::uint64_t packCountsChanged = 0;
  std::uint64_t stalls = 0;
  std::uint64_t transferErrors = 0;
  std::uint64_t zeroLengthTransfers = 0;
  std::uint64_t unplugs = 0;
  std::uint64_t packetAnomalies = 0;  // line-packet faults, early lines included
};

class StreamEngine;

// The image stream of one emulated device (EmulatedDevice::Stream()). It
// serves the start request while its Handler() is the firmware's stream
// handler, which Camera() devices have from the start. It runs one thread,
// from the first start request until the device is destroyed; the thread
// sleeps while no request is pending.
class LUMO_EMULATOR_API CameraStream {
 public:
  explicit CameraStream(std::unique_ptr<StreamEngine> engine);
  ~CameraStream();
  CameraStream(const CameraStream&) = delete;
  CameraStream& operator=(const CameraStream&) = delete;

  // A handler serving the start request (and stalling every other request)
  // for CameraFirmware::SetStreamHandler. It must not outlive the stream.
  std::unique_ptr<VendorRequestHandler> Handler();

  void SetConfig(const StreamConfig& config);
  StreamConfig Config() const;
  // The number the next frame gets (1 after power-on).
  void SetNextFrameNumber(std::uint32_t frameNumber);

  // Adds a fault; several may be active, in the order they were added.
  void InjectFault(const StreamFault& fault);
  void ClearFaults();
  // Faults that may still hit.
  std::size_t ActiveFaults() const;

  StreamCounters Counters() const;
  // True from a start request until the device is unplugged.
  bool Streaming() const;
  // Waits until `frames` frames have been finished in all; false on timeout.
  bool WaitForFrames(std::uint64_t frames, std::chrono::milliseconds timeout) const;
  // Waits until `done` holds for the counters; false on timeout.
  bool WaitUntil(const std::function<bool(const StreamCounters&)>& done,
                 std::chrono::milliseconds timeout) const;
  // Waits until the stream can do nothing more without the host: before
  // the first start request, or when it waits for IN requests, for a start
  // request after its frame limit or while the device is unplugged. A
  // stall or the rate limit holds it back for a time only and does not
  // count. Tests use it to see that something did not happen. False on
  // timeout.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
  // When frame `frameNumber`'s header went out: the steady clock
  // (std::chrono::steady_clock, in nanoseconds since its epoch) as the
  // request carrying the frame's first bytes was being completed, so the
  // host cannot have seen the header earlier. Kept for the last 4096 frames
  // started; nothing for older or unknown frames.
  std::optional<std::int64_t> HeaderSentNs(std::uint32_t frameNumber) const;

  // The implementation, for the device that owns the stream.
  StreamEngine& Engine();

 private:
  std::unique_ptr<StreamEngine> engine_;
};

}  // namespace lumo::emulator
