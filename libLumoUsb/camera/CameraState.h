// CameraState: everything one camera keeps, by subsystem: its USB device,
// its command channel, its stream ring, its frame hand-out and its
// line-packet decoder, with the lifecycle flags and the stream threads that
// tie them together. Created by CameraDevice; the stream threads receive
// its address.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Failure.h"
#include "camera/CameraCounters.h"
#include "camera/FrameDelivery.h"
#include "camera/FrameHandOut.h"
#include "camera/FrameRecord.h"
#include "camera/LifecycleState.h"
#include "camera/LinePacketDecoder.h"
#include "camera/StreamRing.h"
#include "command/CommandChannel.h"
#include "platform/UniqueHandle.h"
#include "usb/LumoUSBDevice.h"

namespace lumo::camera {

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
  // - the hand-out's frameLock and the command channel's responseLock and
  //   bufferLock:
  //   short, never two at once.
  std::mutex lifecycleLock;

  // Closed, open, acquiring or away (LifecycleState.h): the camera's one
  // lifecycle state, which the command channel reads too.
  LifecycleState lifecycle;

  std::unique_ptr<usb::CLumoUSBDevice> usbDevice;
  // The command channel: endpoint zero, the response reader, register
  // answers and the buffer channel. Open while the camera is open.
  command::CommandChannel channel{&lifecycle};

  // Settings a caller may change while a run reads them at its start.
  std::atomic<std::int32_t> bufferCount{10};
  std::atomic<std::int32_t> pixelSize{2};
  // Bytes per stream transfer of the next run (StreamTransferSize rounds
  // it); 4096 by default.
  std::atomic<std::int32_t> transferSize{4096};
  // Bytes of raw image per frame the next run's records are made for (0:
  // the fixed record size; a larger frame makes them grow).
  std::atomic<std::int64_t> frameBytes{0};
  const std::string path;  // lower case; never changes
  // Why the last failed call on this camera failed (LumoUsbManager::GetLastError).
  FailureCell lastError;

  // The image reader writes the camera's bytes into the ring; the frame
  // assembler reads them.
  StreamRing streamRing;

  // The stream threads' run flag: set before they start, cleared to stop
  // them, then they are joined.
  std::atomic<bool> acqRunning{false};

  std::thread imageReaderThread;
  std::thread frameThread;

  // The frame pool of the running acquisition and its hand-out queues.
  FrameHandOut frames;
  std::uint16_t completedFrames = 0;  // raw-mode frames completed
  // The line-packet decoder, its state and its scratch record carry over
  // from one run to the next.
  LinePacketDecoder lineDecoder;

  // The stream's statistics (the command channel keeps its own).
  CameraCounters counters;

  // The frame callback and its delivery thread; last, so that the thread
  // ends before anything it uses goes.
  FrameDelivery delivery{*this};
};

// Makes the run's frame pool (or keeps the one a removal left), sends the
// start request and starts the image reader and the frame assembler; false
// (nothing started, no pool kept) when the pool cannot be made or the
// camera refuses the request.
bool StartStreaming(CameraState& state);
// Joins the stream threads after acqRunning was cleared.
void StopStreaming(CameraState& state);
// Stops acquisition: clears acqRunning, joins the stream threads and
// releases the frame pool. The caller holds lifecycleLock and has moved the
// lifecycle out of acquiring.
void EndAcquisition(CameraState& state);

}  // namespace lumo::camera
