// A camera state with a frame pool and a frame assembler run, fed by
// appending bytes to its ring as the image reader would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/CameraState.h"
#include "camera/FrameAssembler.h"
#include "camera/ImageReader.h"
#include "camera/StreamBuilder.h"
#include "support/ConsoleCapture.h"

namespace lumo::test {

class AssemblerFixture : public ::testing::Test {
 protected:
  void TearDown() override { assembler.reset(); }

  // Starts a run with `buffers` pool buffers.
  void StartRun(int buffers = 4, int pixelSize = 2) {
    state.bufferCount = buffers;
    state.pixelSize = pixelSize;
    state.frames.MakePool(buffers);
    assembler = std::make_unique<camera::FrameAssembler>(state);
  }

  // Feeds bytes through the ring in transfers of `chunk` bytes and lets the
  // assembler drain it after each.
  void Feed(const Bytes& bytes, std::size_t chunk = 4096) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      const std::size_t n = std::min(chunk, bytes.size() - at);
      state.streamRing.Append(bytes.data() + at, static_cast<std::uint32_t>(n));
      while (assembler->Pass()) {
      }
    }
  }

  std::vector<camera::FrameRecord*> Ready() {
    std::lock_guard<std::mutex> lock(state.frames.frameLock);
    return {state.frames.readyFrames.begin(), state.frames.readyFrames.end()};
  }

  ConsoleCapture console;
  camera::CameraState state{"\\\\?\\usb#vid_04b4&pid_00f1#assembler"};
  std::unique_ptr<camera::FrameAssembler> assembler;
};

}  // namespace lumo::test
