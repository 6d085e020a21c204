// CameraState: the per-camera record in which the camera's stream, command
// channel and lifecycle code keep their data. Created by CameraDevice and
// handed, by address, to every thread of the camera.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "camera/FrameRecord.h"
#include "command/CommandChannel.h"
#include "platform/UniqueHandle.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::camera {

// Size of the StreamRing, the circular buffer between the image reader and
// the frame assembler.
constexpr std::uint32_t kStreamRingSize = 0x1400000;  // 20 MiB

// The largest frame pool one acquisition run may ask for (4 GiB).
constexpr std::int32_t kMaxBufferCount = 1024;

struct CameraState {
  explicit CameraState(std::string devicePath);
  ~CameraState();
  CameraState(const CameraState&) = delete;
  CameraState& operator=(const CameraState&) = delete;

  // Locks of a camera shared by several caller threads, outermost first:
  // - lifecycleLock: held for the whole of Open, Close, StartAcquisition and
  //   StopAcquisition, so that these never overlap on one camera. It guards
  //   the USB device's opening and closing, the thread objects and the
  //   command channel's opening and closing.
  // - the command channel's commandLock (CommandChannel.h): register and
  //   buffer calls take turns on it.
  // - frameLock and the command channel's responseLock and bufferLock:
  //   short, never two at once.
  std::mutex lifecycleLock;

  std::unique_ptr<usb::CLumoUSBDevice> usbDevice;
  // The command channel: endpoint zero, the response reader, register
  // answers and the buffer channel. Open while the camera is open.
  command::CommandChannel channel;

  // Settings a caller may change while a run reads them at its start.
  std::atomic<std::int32_t> bufferCount{10};
  std::atomic<std::int32_t> pixelSize{2};
  const std::string path;  // lower case; never changes

  std::unique_ptr<std::uint8_t[]> ring;  // the StreamRing, kStreamRingSize bytes
  std::atomic<std::uint32_t> ringWritePos{0};
  std::atomic<std::uint32_t> ringReadPos{0};
  platform::UniqueHandle dataEvent;  // auto-reset, set after each copy into the ring

  // Single-byte flags read and written by several threads without a lock
  // (isOpen and removed are the command channel's).
  std::atomic<bool> acqRequested{false};
  std::atomic<bool> acqRunning{false};
  // usbDevice holds a driver handle. Mirrors usbDevice->HasHandle() for
  // code that runs without lifecycleLock (frame hand-out).
  std::atomic<bool> deviceOpen{false};

  std::thread imageReaderThread;
  std::thread frameThread;

  std::condition_variable frameCondition;
  std::int32_t frameReady = 0;
  std::mutex frameLock;  // guards readyFrames, freeFrames, frameReady
  std::deque<FrameRecord*> readyFrames;
  std::deque<FrameRecord*> freeFrames;
  std::uint16_t completedFrames = 0;
  // The frame pool of the running acquisition: made before the stream
  // threads start, released by the frame assembler when its run ends.
  std::unique_ptr<FrameRecord[]> framePool;
  std::int32_t framePoolCount = 0;

  FrameRecord* lineFrame = nullptr;                 // lineScratch while a frame is assembled
  std::unique_ptr<FrameRecord> lineScratch;         // made on first use, kept for the state's life
  std::uint32_t lineState = 0;
  bool infoSeen = false;
  std::uint16_t packetType = 0;
  std::uint32_t lineCount = 0;
  std::uint32_t packetLength = 0;
  std::uint32_t payloadTaken = 0;
};

// Makes the run's frame pool, sends the start request and starts the image
// reader and the frame assembler; false (nothing started) when the pool
// cannot be made or the camera refuses the request.
bool StartStreaming(CameraState& state);
// Joins the stream threads after acqRunning was cleared.
void StopStreaming(CameraState& state);
// Stops acquisition: clears acqRequested and acqRunning and joins the
// stream threads. The caller holds lifecycleLock.
void EndAcquisition(CameraState& state);

}  // namespace lumo::camera
