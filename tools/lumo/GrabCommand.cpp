// lumo grab: acquires frames, shows a progress line once a second (frames,
// frames per second, MB/s, frames lost, errors) and saves the frames as PNG
// or PGM files.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ExitCodes.h"
#include "FrameLayout.h"
#include "ImageFile.h"
#include "Interrupt.h"
#include "Session.h"
#include "lumo/CameraStatistics.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo grab [-n N] [-o NAME] [--mode raw|line] [--buffers K]\n"
    "                 [--pixel-size B] [--transfer-size BYTES]\n\n"
    "Acquires N frames from the camera and shows, once a second, the frames taken,\n"
    "frames per second, MB/s received, frames lost and errors.\n"
    "  -n, --frames N          frames to take (default 10)\n"
    "  -o, --output NAME       save each frame; '#' in NAME becomes the frame number\n"
    "                          (needed for more than one frame). NAME ending in .png:\n"
    "                          PNG, in .pgm: binary PGM. 1 byte per pixel gives 8-bit,\n"
    "                          2 bytes 16-bit greyscale; other sizes are saved as their\n"
    "                          bytes, 8-bit greyscale width x bytes-per-pixel wide\n"
    "  --mode raw|line         the stream mode the frames should come in; emulated\n"
    "                          cameras send it, a real camera's frames are checked\n"
    "  --buffers K             frame buffers of the run (library default 10)\n"
    "  --pixel-size B          bytes per pixel of raw frames, 1 to 16 (default 2)\n"
    "  --transfer-size BYTES   bytes per stream transfer, 4096 to 4 MiB\n"
    "Frames that wait longer than --timeout ms end the grab with exit code 1.\n";

enum Option { kMode = 0x100, kBuffers, kPixelSize, kTransferSize };

struct GrabOptions {
  long long frames = 10;
  std::string output;
  ImageFormat format = ImageFormat::kPng;
  int mode = -1;  // -1 any, 0 raw, 1 line-packet
  long long buffers = 0;
  long long pixelSize = 0;
  long long transferSize = 0;
};

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Lost frames and errors since the grab began, from the library's counters.
struct Counts {
  bool known = false;
  std::uint64_t lost = 0;
  std::uint64_t errors = 0;
  std::uint64_t bytes = 0;
};

Counts CountsSince(LumoUsbManager& manager, void* camera, const LumoCameraStatistics& base,
                   bool baseKnown) {
  LumoCameraStatistics now{};
  Counts counts;
  if (!baseKnown || !manager.GetStatistics(camera, &now)) return counts;
  counts.known = true;
  counts.lost = (now.framesLostNoBuffer - base.framesLostNoBuffer) +
                (now.framesLostQueueFull - base.framesLostQueueFull) +
                (now.framesIncomplete - base.framesIncomplete);
  counts.errors = (now.transferErrors - base.transferErrors) +
                  (now.commandCheckErrors - base.commandCheckErrors) +
                  (now.commandTimeouts - base.commandTimeouts);
  counts.bytes = now.bytesReceived - base.bytesReceived;
  return counts;
}

std::string CountText(const Counts& counts, std::uint64_t Counts::*field) {
  return counts.known ? std::to_string(counts.*field) : std::string("?");
}

bool ParseGrabOptions(int argc, char** argv, GlobalOptions& globals, GrabOptions* grab) {
  CommandOptions options;
  options.shortOptions = "n:o:";
  options.longOptions = {{"frames", required_argument, nullptr, 'n'},
                      {"output", required_argument, nullptr, 'o'},
                      {"mode", required_argument, nullptr, kMode},
                      {"buffers", required_argument, nullptr, kBuffers},
                      {"pixel-size", required_argument, nullptr, kPixelSize},
                      {"transfer-size", required_argument, nullptr, kTransferSize}};
  const auto number = [](const char* option, const char* text, long long low, long long high,
                         long long* value) {
    if (ParseNumber(text, low, high, value)) return true;
    UsageError("grab", std::string(option) + " wants " + std::to_string(low) + " to " +
                           std::to_string(high) + ", not '" + text + "'");
    return false;
  };
  const auto take = [&](int code, const char* value) {
    switch (code) {
      case 'n':
        return number("-n", value, 1, 1000000000, &grab->frames);
      case 'o':
        grab->output = value;
        return true;
      case kMode:
        if (std::string(value) == "raw" || std::string(value) == "line") {
          grab->mode = std::string(value) == "line" ? 1 : 0;
          return true;
        }
        UsageError("grab", std::string("--mode wants raw or line, not '") + value + "'");
        return false;
      case kBuffers:
        return number("--buffers", value, 1, 1024, &grab->buffers);
      case kPixelSize:
        return number("--pixel-size", value, 1, 16, &grab->pixelSize);
      case kTransferSize:
        return number("--transfer-size", value, 4096, 4 << 20, &grab->transferSize);
      default:
        return false;
    }
  };
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "grab", options, globals, take, &arguments)) return false;
  if (globals.help) return true;
  if (!arguments.empty()) {
    UsageError("grab", "takes no arguments ('" + arguments[0] + "')");
    return false;
  }
  if (!grab->output.empty()) {
    std::string problem;
    if (!FormatForName(grab->output, &grab->format, &problem)) {
      UsageError("grab", problem);
      return false;
    }
    if (grab->frames > 1 && grab->output.find('#') == std::string::npos) {
      UsageError("grab",
                 "with more than one frame the output name needs a '#' for the frame "
                 "number");
      return false;
    }
  }
  return true;
}

std::string Describe(const FrameLayout& frame) {
  std::string text =
      "frame " + std::to_string(frame.number) + ": " + std::to_string(frame.width) + " x " +
      std::to_string(frame.height) + ", " +
      (frame.linePacket ? "line-packet, " + std::to_string(frame.bitsPerPixel) + " bits per pixel"
                        : "raw, " + std::to_string(frame.bytesPerPixel) +
                              (frame.bytesPerPixel == 1 ? " byte" : " bytes") + " per pixel");
  return text;
}

}  // namespace

int GrabCommand(int argc, char** argv, GlobalOptions& globals) {
  GrabOptions grab;
  if (!ParseGrabOptions(argc, argv, globals, &grab)) return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }

  Session session(globals, "grab");
  if (const int started = session.Start()) return started;
  if (Emulation* emulation = session.Emulated())
    emulation->SetStream(grab.mode == 1, grab.pixelSize > 0 ? static_cast<int>(grab.pixelSize) : 2);
  void* camera = nullptr;
  if (const int opened = session.OpenChosen(&camera, nullptr)) return opened;
  LumoUsbManager& manager = session.Manager();
  if (grab.buffers > 0) manager.SetBufferCount(camera, static_cast<int>(grab.buffers));
  if (grab.pixelSize > 0) manager.SetPixelSize(camera, static_cast<int>(grab.pixelSize));
  if (grab.transferSize > 0) manager.SetTransferSize(camera, static_cast<int>(grab.transferSize));

  Console& console = Console::Instance();
  LumoCameraStatistics base{};
  const bool baseKnown = manager.GetStatistics(camera, &base);
  if (!manager.StartAcq(camera)) return session.Failure(camera, "acquisition did not start");
  InterruptGuard interrupt;

  int result = kExitOk;
  std::uint64_t taken = 0;
  std::uint64_t saved = 0;
  std::uint64_t imageBytes = 0;
  std::uint64_t takenAtReport = 0;
  bool modeWarned = false;
  const auto start = Clock::now();
  auto lastFrame = start;
  auto lastReport = start;
  while (taken < static_cast<std::uint64_t>(grab.frames)) {
    if (InterruptGuard::Interrupted()) {
      result = kExitInterrupted;
      break;
    }
    // Short waits keep the progress line and Ctrl-C going while frames are slow.
    void* image = nullptr;
    const bool got = manager.CameraGetImage(camera, &image, 200);
    const auto now = Clock::now();
    if (got) {
      lastFrame = now;
      FrameLayout frame;
      std::string problem;
      if (!ReadFrameLayout(image, &frame, &problem)) {
        console.Line("lumo grab: unusable frame: " + problem, true);
        result = kExitFailed;
        break;
      }
      ++taken;
      imageBytes += frame.imageBytes;
      if (taken == 1) {
        std::string line = Describe(frame);
        if (!grab.output.empty()) {
          const ImageShape shape = ShapeFor(frame);
          line += shape.rawBytes ? "; saved as its bytes: " + std::to_string(shape.width) + " x " +
                                       std::to_string(shape.height) + " 8-bit grey"
                                 : "; saved as " + std::to_string(shape.bitDepth) + "-bit grey";
        }
        console.Line(line);
      }
      if (grab.mode >= 0 && frame.linePacket != (grab.mode == 1) && !modeWarned) {
        console.Line(std::string("lumo grab: the camera sends ") +
                         (frame.linePacket ? "line-packet" : "raw") + " frames, not " +
                         (grab.mode == 1 ? "line-packet" : "raw") + " ones",
                     true);
        modeWarned = true;
      }
      if (!grab.output.empty()) {
        const std::string name = NameForFrame(grab.output, frame.number);
        if (!WriteImage(name, grab.format, frame, &problem)) {
          console.Line("lumo grab: " + problem, true);
          result = kExitFile;
          break;
        }
        ++saved;
      }
    } else if (Seconds(now - lastFrame) * 1000 >= globals.timeoutMs) {
      manager.StopAcq(camera);
      console.EndProgress();
      return session.Failure(camera, "no frame within " + std::to_string(globals.timeoutMs) +
                                         " ms after " + std::to_string(taken) + " frames");
    }
    if (Seconds(now - lastReport) >= 1.0) {
      const Counts counts = CountsSince(manager, camera, base, baseKnown);
      const double interval = Seconds(now - lastReport);
      const double elapsed = Seconds(now - start);
      char line[200];
      std::snprintf(
          line, sizeof(line), "frames %llu/%lld  %.1f fps  %.1f MB/s  lost %s  errors %s",
          static_cast<unsigned long long>(taken), grab.frames, (taken - takenAtReport) / interval,
          (counts.known ? counts.bytes : imageBytes) / elapsed / 1e6,
          CountText(counts, &Counts::lost).c_str(), CountText(counts, &Counts::errors).c_str());
      console.Progress(line);
      takenAtReport = taken;
      lastReport = now;
    }
  }
  const double elapsed = Seconds(Clock::now() - start);
  const Counts counts = CountsSince(manager, camera, base, baseKnown);
  manager.StopAcq(camera);
  console.EndProgress();
  char summary[300];
  std::snprintf(
      summary, sizeof(summary), "%llu frames in %.2f s: %.1f fps, %.1f MB/s, lost %s, errors %s",
      static_cast<unsigned long long>(taken), elapsed, elapsed > 0 ? taken / elapsed : 0.0,
      elapsed > 0 ? (counts.known ? counts.bytes : imageBytes) / elapsed / 1e6 : 0.0,
      CountText(counts, &Counts::lost).c_str(), CountText(counts, &Counts::errors).c_str());
  std::string text = summary;
  if (!grab.output.empty()) text += "; saved " + std::to_string(saved) + " as " + grab.output;
  if (result == kExitInterrupted) text += " (interrupted)";
  console.Line(text);
  return result;
}

}  // namespace lumo::tool
