// The frame assembler alone, over an in-memory StreamRing filled with
// frames beforehand: raw frames and line-packet frames.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "Log.h"
#include "camera/CameraState.h"
#include "camera/FrameAssembler.h"

namespace {

using lumo::camera::CameraState;
using lumo::camera::FrameAssembler;
using lumo::camera::kStreamRingSize;
using Bytes = std::vector<std::uint8_t>;

void Put32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Bytes Header(std::uint16_t width, std::uint16_t height, std::uint32_t frame, std::uint32_t mode) {
  Bytes block(4096, 0);
  const std::uint32_t magic[5] = {0x803C4953, 0x93498218, 0x05897F8D, 0x9AB38089, 0x0100A000};
  for (int i = 0; i < 5; ++i) Put32(&block[4 * i], magic[i]);
  block[24] = static_cast<std::uint8_t>(width);
  block[25] = static_cast<std::uint8_t>(width >> 8);
  block[26] = static_cast<std::uint8_t>(height);
  block[27] = static_cast<std::uint8_t>(height >> 8);
  Put32(&block[28], frame);
  Put32(&block[32], 305);
  Put32(&block[44], mode);
  return block;
}

void AddWords(Bytes& stream, std::initializer_list<std::uint16_t> words) {
  for (std::uint16_t word : words) {
    stream.push_back(static_cast<std::uint8_t>(word));
    stream.push_back(static_cast<std::uint8_t>(word >> 8));
  }
}

// Frames back to back, as many as fit in `limit` bytes.
Bytes RawStream(std::size_t limit, std::size_t* frameBytes) {
  Bytes stream;
  *frameBytes = 1024 * 768 * 2;
  for (std::uint32_t frame = 1; stream.size() + 4096 + *frameBytes <= limit; ++frame) {
    const Bytes header = Header(1024, 768, frame, 0);
    stream.insert(stream.end(), header.begin(), header.end());
    stream.resize(stream.size() + *frameBytes, static_cast<std::uint8_t>(frame));
  }
  return stream;
}

Bytes LineStream(std::size_t limit, std::size_t* frameBytes) {
  Bytes stream;
  for (std::uint32_t frame = 1;; ++frame) {
    Bytes one = Header(1000, 1000, frame, 0x52434D4C);
    AddWords(one, {0xC53A, 0xA35C, 0xC53A, 1, 0, 16});
    one.resize(one.size() + 32, 1);
    for (int line = 0; line < 1000; ++line) {
      AddWords(one, {0xC53A, 0xA35C, 0xC53A,
                     static_cast<std::uint16_t>(line == 0 ? 2 : (line == 999 ? 4 : 3)), 0, 500});
      one.resize(one.size() + 1000, static_cast<std::uint8_t>(line));
    }
    one.resize((one.size() + 4095) / 4096 * 4096, 0);
    *frameBytes = one.size() - 4096;
    if (stream.size() + one.size() > limit) break;
    stream.insert(stream.end(), one.begin(), one.end());
  }
  return stream;
}

void Quiet(const char*) {}

void RunAssembler(benchmark::State& state, const Bytes& stream, std::size_t frameBytes) {
  lumo::SetConsoleSink(&Quiet);
  CameraState camera("\\\\?\\usb#vid_04b4&pid_00f1#bench");
  std::memcpy(camera.streamRing.ring.get(), stream.data(), stream.size());
  camera.frames.MakePool(4);
  camera.bufferCount = 4;
  FrameAssembler assembler(camera);
  std::size_t frames = 0;
  for (auto _ : state) {
    // The whole stream again, from the start of the ring.
    camera.streamRing.ringReadPos = 0;
    camera.streamRing.ringWritePos = static_cast<std::uint32_t>(stream.size());
    while (assembler.Pass()) {
      std::lock_guard<std::mutex> lock(camera.frames.frameLock);
      while (!camera.frames.readyFrames.empty()) {  // a consumer that keeps up
        camera.frames.freeFrames.push_back(camera.frames.readyFrames.front());
        camera.frames.readyFrames.pop_front();
        ++frames;
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["frame_MB"] = static_cast<double>(frameBytes) / 1e6;
  lumo::SetConsoleSink(nullptr);
}

void BM_AssemblerRaw(benchmark::State& state) {
  std::size_t frameBytes = 0;
  const Bytes stream = RawStream(kStreamRingSize - 4096, &frameBytes);
  RunAssembler(state, stream, frameBytes);
}
BENCHMARK(BM_AssemblerRaw)->Unit(benchmark::kMillisecond);

void BM_AssemblerLinePacket(benchmark::State& state) {
  std::size_t frameBytes = 0;
  const Bytes stream = LineStream(kStreamRingSize - 4096, &frameBytes);
  RunAssembler(state, stream, frameBytes);
}
BENCHMARK(BM_AssemblerLinePacket)->Unit(benchmark::kMillisecond);

}  // namespace
