// The camera's firmware for the command channel, and the faults tests make
// it commit.
//
// The host talks to the camera through vendor control transfers on
// endpoint zero (request 0xFE, value 0xF000, index 0):
//   - OUT (request type 0x42): exactly one encoded frame per transfer;
//   - IN  (request type 0xC2): the next bytes of the camera's outgoing byte
//     stream, at most 2048 and at most wLength. Frames are not aligned to
//     transfers: one may start in one IN transfer and end in a later one.
//
// A frame is the flag 0x7E followed by the escaped bytes: control byte,
// length L, an address of 2, 4, 6 or 8 bytes (most significant first), a
// status byte for type 3 only, L data bytes and, when the control byte asks
// for it, a check byte (CRC-8, see FrameCheckByte) over the unescaped bytes
// from the control byte to the last data byte. Escaping: 0x7E is sent as
// 7D 5E, 0x7D as 7D 5D.
//
// What the firmware does by default:
//   - a register write stores the bytes and is answered with a type-0 frame
//     carrying the address and the bytes written; a register read is
//     answered with a type-2 frame carrying the register's bytes (4 zero
//     bytes for a register never written). Answers have a 4-byte address
//     and a check byte.
//   - a buffer frame (address kBufferChannelAddress, data field n, 0, then
//     n payload bytes) is looped back: one type-1 frame without check byte
//     whose data field is the n payload bytes. SetBufferResponder replaces
//     the loopback.
//   - a host frame that is corrupt (bad check byte, bad escape, wrong
//     length), of another version, or does not make sense (a read carrying
//     data, a buffer header that does not match) gets no answer and is
//     counted as rejected.
//   - every other vendor request goes to the stream handler; without one it
//     stalls.
// Every member function may be called from any thread at any time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumo/Export.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace lumo::emulator {

// The command channel's control requests.
constexpr std::uint8_t kCommandRequest = 0xFE;
constexpr std::uint16_t kCommandValue = 0xF000;
constexpr std::uint8_t kCommandOutRequestType = 0x42;  // vendor, endpoint, host to camera
constexpr std::uint8_t kCommandInRequestType = 0xC2;   // vendor, endpoint, camera to host
// The most bytes one IN transfer of the command channel returns.
constexpr std::size_t kCommandInMaxBytes = 2048;
// wValue of the image stream's start request (served by the stream handler).
constexpr std::uint16_t kStreamStartValue = 0xFF00;

// The address of the buffer channel; every other address names a register.
constexpr std::uint32_t kBufferChannelAddress = 0x5AA555AA;
// The most payload bytes one host buffer frame carries.
constexpr std::size_t kMaxBufferPayload = 200;
// The most data bytes of one frame.
constexpr std::size_t kMaxFrameData = 255;

// Frame types, bits 5-7 of the control byte.
enum class FrameType : std::uint8_t {
  kRegisterWrite = 0,
  kBufferData = 1,
  kRegisterRead = 2,
  kWithStatus = 3,  // carries a status byte after the address
};

// A frame the camera sends, before encoding.
struct CameraFrame {
  FrameType type = FrameType::kRegisterRead;
  std::uint8_t version = 0;        // control bits 3-4, 0..3; the host accepts only 0
  std::uint8_t addressBytes = 4;   // 2, 4, 6 or 8
  std::uint64_t address = 0;       // its low addressBytes bytes are sent
  std::uint8_t status = 0;         // sent only with FrameType::kWithStatus
  bool check = true;               // sends the check byte
  std::vector<std::uint8_t> data;  // at most kMaxFrameData bytes
};

// The encoded bytes of `frame`, flag first; empty if the frame cannot be
// encoded (address width, version or data length out of range).
LUMO_EMULATOR_API std::vector<std::uint8_t> EncodeCameraFrame(const CameraFrame& frame);
// The check byte of `size` unescaped bytes: CRC-8 with the reflected
// polynomial 0x8C, initial value 0, no final XOR (CRC of "123456789": 0xA1).
LUMO_EMULATOR_API std::uint8_t FrameCheckByte(const std::uint8_t* bytes, std::size_t size);

// One OUT transfer of the command channel as the firmware received it.
struct HostFrameRecord {
  std::vector<std::uint8_t> raw;  // the transfer's data stage, encoded, as received
  bool accepted = false;          // false: rejected, not answered
  std::string problem;            // why it was rejected; empty when accepted
  // The decoded frame; set when accepted.
  std::uint8_t control = 0;
  FrameType type = FrameType::kRegisterWrite;
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;  // the whole data field (buffer frames: n, 0, payload)
};

// What goes wrong with an answer.
enum class FaultKind {
  kCorruptCheck,  // the check byte is wrong (hits only frames with a check byte)
  kDropAnswer,    // the answer is never sent
  kWrongAddress,  // the answer carries another address
  kVersionBits,   // the control byte's version bits are not 0
  kStrayBytes,    // bytes that belong to no frame come before the answer's flag
  kDelay,         // the answer reaches IN transfers only after a while; later
                  // answers may overtake it
  kStatusFrame,   // the answer is of type 3 and carries a status byte
  kAddressWidth,  // the answer's address has 2, 6 or 8 bytes
};

// Which answers a fault may hit.
enum class FaultTarget {
  kAllAnswers,       // register answers and buffer frames answering the host
  kRegisterAnswers,  // answers to register writes and reads
  kBufferAnswers,    // buffer frames sent for host buffer frames
};

// One fault. Each answer it may hit is hit with `probability` (draws from
// a generator seeded with `seed`), until it has hit `count` answers.
struct LUMO_EMULATOR_API Fault {
  FaultKind kind = FaultKind::kDropAnswer;
  FaultTarget target = FaultTarget::kAllAnswers;
  std::uint32_t count = 1;  // 0: no limit
  double probability = 1.0;
  std::uint32_t seed = 1;

  // kWrongAddress: the address the answer carries instead; none: the
  // answer's own address with its top bit flipped.
  std::optional<std::uint32_t> address;
  // kVersionBits: the version written into the control byte (1..3).
  std::uint8_t version = 1;
  // kStrayBytes: the bytes before the flag.
  std::vector<std::uint8_t> stray{0x55, 0x7D, 0x00};
  // kDelay: how long the answer is held back.
  std::chrono::milliseconds delay{100};
  // kStatusFrame: the status byte.
  std::uint8_t status = 0x01;
  // kAddressWidth: the width (2, 6 or 8). A 2-byte address is the low half
  // of the answer's address; with 6 or 8 bytes `upperAddress` fills the
  // bytes above the 32-bit address.
  std::uint8_t addressBytes = 8;
  std::uint32_t upperAddress = 0;

  // The next `n` answers.
  static Fault Next(FaultKind kind, std::uint32_t n = 1);
  // Each answer with probability `p`, drawn from `seed`; `n` hits at most
  // (0: no limit).
  static Fault Random(FaultKind kind, double p, std::uint32_t seed, std::uint32_t n = 0);
};

// Where the outgoing stream is cut into IN transfers. Each IN transfer
// returns at most min(wLength, kCommandInMaxBytes, maxBytes) bytes; when
// `random` is set, each transfer that finds bytes waiting returns a number
// drawn between minBytes and that limit instead (seeded, so runs repeat).
struct LUMO_EMULATOR_API InSplit {
  std::size_t maxBytes = kCommandInMaxBytes;
  bool random = false;
  std::size_t minBytes = 1;
  std::uint32_t seed = 1;

  // Everything waiting, up to the transfer's limit (the default).
  static InSplit Whole();
  // Chunks of at most `n` bytes.
  static InSplit Chunks(std::size_t n);
  // Random chunks of minBytes..maxBytes bytes.
  static InSplit Random(std::uint32_t seed, std::size_t maxBytes = 64, std::size_t minBytes = 1);
};

struct FirmwareCounters {
  std::uint64_t framesReceived = 0;    // OUT transfers of the command channel
  std::uint64_t framesRejected = 0;    // of those, corrupt or malformed: not answered
  std::uint64_t answersSent = 0;       // frames queued for IN transfers (answers and injected)
  std::uint64_t answersDropped = 0;    // answers a fault dropped
  std::uint64_t answersCorrupted = 0;  // answers sent with a wrong check byte
  std::uint64_t inTransfers = 0;       // IN transfers of the command channel
  std::uint64_t bytesSent = 0;         // bytes IN transfers returned
};

class CommandFirmware;

class LUMO_EMULATOR_API CameraFirmware {
 public:
  // Bytes in, bytes out: the payload of a host buffer frame, and what the
  // camera sends back on the buffer channel. nullopt sends nothing; an
  // empty vector sends one empty frame; more than kMaxFrameData bytes go in
  // several frames. Runs on the thread of the OUT transfer and must not
  // block; it may call this firmware.
  using BufferResponder =
      std::function<std::optional<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>&)>;

  // How many host frames the record keeps; older ones are forgotten.
  static constexpr std::size_t kRecordLimit = 16384;

  CameraFirmware();
  ~CameraFirmware();
  CameraFirmware(const CameraFirmware&) = delete;
  CameraFirmware& operator=(const CameraFirmware&) = delete;

  // Serves one vendor request, as a VendorRequestHandler does.
  bool OnVendorRequest(const SetupPacket& setup, std::vector<std::uint8_t>& data);
  void OnAnswered(const SetupPacket& setup);
  // A handler that passes vendor requests to this firmware, for
  // EmulatedDevice::SetVendorRequestHandler. It must not outlive the firmware.
  std::unique_ptr<VendorRequestHandler> Handler();

  // The image stream's slot: vendor requests other than the command channel
  // (the start request among them) go to `handler`; nullptr: they stall.
  // The handler may call this firmware but must not replace itself.
  void SetStreamHandler(std::unique_ptr<VendorRequestHandler> handler);

  // ---- registers
  void SetRegister(std::uint32_t address, std::vector<std::uint8_t> bytes);
  // The bytes last written; nullopt for a register never written.
  std::optional<std::vector<std::uint8_t>> Register(std::uint32_t address) const;
  void ClearRegisters();

  // ---- buffer channel and outgoing stream

  // Replaces the loopback; an empty function restores it.
  void SetBufferResponder(BufferResponder responder);
  // Sends `bytes` as unsolicited buffer frames (split as the responder's
  // answers are). Faults do not touch them.
  void InjectBufferData(const std::vector<std::uint8_t>& bytes);
  // Appends `bytes` to the outgoing stream as they are.
  void InjectRawBytes(const std::vector<std::uint8_t>& bytes);
  // Encodes and sends `frame`; false if it cannot be encoded.
  bool InjectFrame(const CameraFrame& frame);
  void SetInSplit(const InSplit& split);
  // Bytes not yet returned by IN transfers, delayed ones included.
  std::size_t QueuedBytes() const;
  // Forgets the bytes not yet returned, as a camera losing power does.
  void DiscardOutgoing();

  // ---- faults
  // Adds a fault; several may be active and hit the same answer, in the
  // order they were added.
  void InjectFault(Fault fault);
  void ClearFaults();
  // Faults that may still hit answers.
  std::size_t ActiveFaults() const;

  // ---- what the host sent
  std::vector<HostFrameRecord> HostFrames() const;
  // The record, emptied.
  std::vector<HostFrameRecord> TakeHostFrames();
  FirmwareCounters Counters() const;
  // Waits until `done` holds for the counters; false on timeout.
  bool WaitUntil(const std::function<bool(const FirmwareCounters&)>& done,
                 std::chrono::milliseconds timeout) const;
  // Waits until no queued byte is held back by a delay any more, so that
  // the next IN transfer may take any of them; false on timeout.
  bool WaitUntilNothingDelayed(std::chrono::milliseconds timeout) const;

  // Back to power-on: registers, outgoing stream, faults, records, counters,
  // split and responder. The stream handler stays.
  void Reset();

 private:
  std::unique_ptr<CommandFirmware> impl_;
};

}  // namespace lumo::emulator
