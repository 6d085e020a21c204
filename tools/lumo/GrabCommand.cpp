// lumo grab: acquires frames, shows a progress line once a second (frames,
// frames per second, MB/s, frames lost, errors, the frame interval and
// sequence gaps) and saves the frames as PNG or PGM files, on a writer
// thread that the frames' leases are handed to.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ExitCodes.h"
#include "FrameLayout.h"
#include "FrameLease.h"
#include "FrameTiming.h"
#include "FrameWriter.h"
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
    "frames per second, MB/s received, frames lost and errors, the frame interval\n"
    "and the sequence gaps.\n"
    "  -n, --frames N          frames to take (default 10)\n"
    "  -o, --output NAME       save each frame; '#' in NAME becomes the frame number\n"
    "                          (needed for more than one frame). NAME ending in .png:\n"
    "                          PNG, in .pgm: binary PGM. 1 byte per pixel gives 8-bit,\n"
    "                          2 bytes 16-bit greyscale; other sizes are saved as their\n"
    "                          bytes, 8-bit greyscale width x bytes-per-pixel wide\n"
    "  --mode raw|line         the stream mode the frames should come in; emulated\n"
    "                          cameras send it, a real camera's frames are checked\n"
    "  --buffers K             frame buffers of the run, 2 to 1024 (library default 10)\n"
    "  --pixel-size B          bytes per pixel of raw frames, 1 to 16 (default 2)\n"
    "  --transfer-size BYTES   bytes per stream transfer, 4096 to 4 MiB\n"
    "Frames are saved on a thread of their own while the grab goes on, and stay\n"
    "lent by the library until they are saved: up to K-1 frames wait for it without\n"
    "loss. When K-1 frames wait, the grab waits too and the frames the camera sends\n"
    "meanwhile are lost. With --buffers N+1 all N frames can be lent at once: a\n"
    "slow writer then loses none of them.\n"
    "The frame interval is the time between the arrivals of two frames' headers,\n"
    "of frames taken one after the other with no frame lost between them: its mean\n"
    "and standard deviation (\"sd\"), in ms, over the last second on the progress\n"
    "line and over the whole grab in the summary, which adds the largest deviation\n"
    "of one interval from the mean. A sequence gap is one or more frames the library\n"
    "lost between two frames taken (or before the first); \"gaps G (M missing)\"\n"
    "counts the gaps since the grab began and the frames missing in them.\n"
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
        // The library always keeps one buffer for the stream: one buffer
        // would lend no frame.
        return number("--buffers", value, 2, 1024, &grab->buffers);
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

double Ms(double ns) { return ns / 1e6; }

// "interval 3.940 ms sd 0.012" for the progress line.
std::string WindowText(const IntervalStatistics& window) {
  if (window.Count() == 0) return "interval -";
  char text[80];
  std::snprintf(text, sizeof(text), "interval %.3f ms sd %.3f", Ms(window.MeanNs()),
                Ms(window.DeviationNs()));
  return text;
}

std::string TimingSummary(const FrameTiming& timing) {
  const IntervalStatistics& all = timing.Intervals();
  char text[300];
  if (all.Count() == 0) {
    std::snprintf(text, sizeof(text), "frame interval unknown (no two frames in a row)");
  } else {
    std::snprintf(text, sizeof(text),
                  "frame interval %.3f ms mean, %.3f ms standard deviation, %.3f ms largest "
                  "deviation (%llu intervals)",
                  Ms(all.MeanNs()), Ms(all.DeviationNs()), Ms(all.LargestDeviationNs()),
                  static_cast<unsigned long long>(all.Count()));
  }
  return std::string(text) + "; sequence gaps " + std::to_string(timing.Gaps()) +
         ", frames missing " + std::to_string(timing.Missing());
}

// Waits for the writer to save what it was given, with a progress line once
// a second; Ctrl-C gives the frames not yet saved back unsaved. True when
// interrupted.
bool FinishSaving(FrameWriter& writer, std::uint64_t taken) {
  Console& console = Console::Instance();
  bool interrupted = false;
  auto lastReport = Clock::now();
  std::uint64_t savedAtReport = writer.Saved();
  while (!writer.WaitUntilIdle(200)) {
    if (InterruptGuard::Interrupted() && !interrupted) {
      interrupted = true;
      writer.Drop();
    }
    const auto now = Clock::now();
    if (Seconds(now - lastReport) >= 1.0) {
      const std::uint64_t saved = writer.Saved();
      char line[120];
      std::snprintf(line, sizeof(line), "saved %llu/%llu  %.1f frames/s",
                    static_cast<unsigned long long>(saved), static_cast<unsigned long long>(taken),
                    (saved - savedAtReport) / Seconds(now - lastReport));
      console.Progress(line);
      savedAtReport = saved;
      lastReport = now;
    }
  }
  console.EndProgress();
  return interrupted;
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
  // Made after the session, so ended first: it gives back what it holds
  // while the camera is still there.
  std::unique_ptr<FrameWriter> writer;
  if (!grab.output.empty()) writer = std::make_unique<FrameWriter>(grab.output, grab.format);
  if (!manager.StartAcq(camera)) return session.Failure(camera, "acquisition did not start");
  InterruptGuard interrupt;

  int result = kExitOk;
  std::uint64_t taken = 0;
  std::uint64_t imageBytes = 0;
  std::uint64_t takenAtReport = 0;
  std::uint64_t releaseFailures = 0;
  double writerWaitSeconds = 0;
  bool modeWarned = false;
  FrameTiming timing;
  const auto start = Clock::now();
  auto lastFrame = start;
  auto lastReport = start;
  while (taken < static_cast<std::uint64_t>(grab.frames)) {
    if (InterruptGuard::Interrupted()) {
      result = kExitInterrupted;
      break;
    }
    std::string problem;
    if (writer && writer->Failed(&problem)) {
      console.Line("lumo grab: " + problem, true);
      result = kExitFile;
      break;
    }
    const std::uint64_t released = writer ? writer->Released() : 0;
    // Short waits keep the progress line and Ctrl-C going while frames are slow.
    LumoFrame lent{};
    const bool got = manager.CameraTakeFrame(camera, &lent, 200);
    auto now = Clock::now();
    if (got) {
      FrameLease lease(manager, camera, lent);
      lastFrame = now;
      FrameLayout frame;
      if (!LayoutOfFrame(lent, &frame, &problem)) {
        console.Line("lumo grab: unusable frame: " + problem, true);
        result = kExitFailed;
        break;
      }
      ++taken;
      imageBytes += frame.imageBytes;
      timing.Add(lent);
      if (taken == 1) {
        std::string line = Describe(frame);
        if (writer) {
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
      if (writer)
        writer->Push(std::move(lease), frame);
      else if (!lease.Release())
        ++releaseFailures;
    } else if (writer && manager.GetLastError(camera).kind == LUMO_ERROR_ALL_LENT) {
      // Every frame the library can spare waits for the writer. The grab
      // waits for it rather than drop one; what the camera sends meanwhile
      // is lost in the library and shows as a sequence gap.
      writer->WaitForRelease(released, 200);
      const auto waited = Clock::now();
      writerWaitSeconds += Seconds(waited - now);
      now = waited;
      lastFrame = now;  // waiting for the writer is not waiting for a frame
    } else if (Seconds(now - lastFrame) * 1000 >= globals.timeoutMs) {
      manager.StopAcq(camera);
      console.EndProgress();
      const int failed =
          session.Failure(camera, "no frame within " + std::to_string(globals.timeoutMs) +
                                      " ms after " + std::to_string(taken) + " frames");
      // The frames taken before are still saved.
      if (writer) FinishSaving(*writer, taken);
      return failed;
    }
    if (Seconds(now - lastReport) >= 1.0) {
      const Counts counts = CountsSince(manager, camera, base, baseKnown);
      const double interval = Seconds(now - lastReport);
      const double elapsed = Seconds(now - start);
      char line[300];
      std::snprintf(
          line, sizeof(line),
          "frames %llu/%lld  %.1f fps  %.1f MB/s  lost %s  errors %s  %s  gaps %llu (%llu missing)",
          static_cast<unsigned long long>(taken), grab.frames, (taken - takenAtReport) / interval,
          (counts.known ? counts.bytes : imageBytes) / elapsed / 1e6,
          CountText(counts, &Counts::lost).c_str(), CountText(counts, &Counts::errors).c_str(),
          WindowText(timing.Window()).c_str(), static_cast<unsigned long long>(timing.Gaps()),
          static_cast<unsigned long long>(timing.Missing()));
      std::string text = line;
      if (writer) text += "  unsaved " + std::to_string(writer->Pending());
      console.Progress(text);
      timing.NewWindow();
      takenAtReport = taken;
      lastReport = now;
    }
  }
  const auto acquired = Clock::now();
  const double elapsed = Seconds(acquired - start);
  const Counts counts = CountsSince(manager, camera, base, baseKnown);
  // The frames still waiting for the writer stay lent after the stop.
  manager.StopAcq(camera);
  console.EndProgress();

  std::uint64_t saved = 0;
  double savingSeconds = 0;
  if (writer) {
    if (result != kExitOk) writer->Drop();
    if (FinishSaving(*writer, taken)) result = kExitInterrupted;
    std::string problem;
    if (writer->Failed(&problem) && result == kExitOk) {
      console.Line("lumo grab: " + problem, true);
      result = kExitFile;
    }
    saved = writer->Saved();
    releaseFailures += writer->ReleaseFailures();
    savingSeconds = Seconds(Clock::now() - acquired);
  }

  char summary[300];
  std::snprintf(
      summary, sizeof(summary), "%llu frames in %.2f s: %.1f fps, %.1f MB/s, lost %s, errors %s",
      static_cast<unsigned long long>(taken), elapsed, elapsed > 0 ? taken / elapsed : 0.0,
      elapsed > 0 ? (counts.known ? counts.bytes : imageBytes) / elapsed / 1e6 : 0.0,
      CountText(counts, &Counts::lost).c_str(), CountText(counts, &Counts::errors).c_str());
  std::string text = summary;
  if (writer) {
    text += "; saved " + std::to_string(saved) + " as " + grab.output;
    if (savingSeconds >= 0.01) {
      char after[80];
      std::snprintf(after, sizeof(after), ", the last %.2f s after the last frame came",
                    savingSeconds);
      text += after;
    }
  }
  if (result == kExitInterrupted) text += " (interrupted)";
  console.Line(text);
  console.Line(TimingSummary(timing));

  if (writerWaitSeconds > 0 && timing.Missing() > 0) {
    // The most buffers a run may have is 1024.
    const std::string hint =
        grab.frames < 1024 ? "; --buffers " + std::to_string(grab.frames + 1) + " keeps every frame"
                           : std::string();
    char waited[40];
    std::snprintf(waited, sizeof(waited), "%.2f", writerWaitSeconds);
    console.Line(std::string("lumo grab: saving fell behind: the grab waited ") + waited +
                     " s in all for the writer while every spare frame buffer was lent, and "
                     "frames were lost" +
                     hint,
                 true);
  }
  if (timing.LostBefore() != timing.Missing())
    console.Line("lumo grab: the frames' lost-before counts add up to " +
                     std::to_string(timing.LostBefore()) + ", their sequence gaps to " +
                     std::to_string(timing.Missing()) + " frames",
                 true);
  if (timing.OutOfOrder() > 0)
    console.Line("lumo grab: " + std::to_string(timing.OutOfOrder()) +
                     " frames came with a sequence number not above the one before",
                 true);
  if (releaseFailures > 0)
    console.Line("lumo grab: the library refused " + std::to_string(releaseFailures) +
                     " frames back: " + session.Reason(camera),
                 true);
  return result;
}

}  // namespace lumo::tool
