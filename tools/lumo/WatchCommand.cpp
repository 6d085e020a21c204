// lumo watch: cameras arriving and leaving, shown as the library reports
// them through its device-change callback. With --emulate it plays the
// user at the cables: emulated cameras are unplugged and plugged in.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ExitCodes.h"
#include "Interrupt.h"
#include "Session.h"
#include "lumo/DeviceChange.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo watch [-s SECONDS]\n\n"
    "Shows cameras arriving and leaving as it happens, until Ctrl-C.\n"
    "  -s, --seconds SECONDS   stop after this long (with --emulate: 6 by default)\n"
    "With --emulate, emulated cameras are unplugged and plugged in meanwhile.\n";

using Clock = std::chrono::steady_clock;

struct Change {
  int event = 0;
  std::string path;
};

// Device changes handed from the library's callback to the main thread.
// Lives for the process: the library may call the callback while it is
// being removed.
class ChangeQueue {
 public:
  static ChangeQueue& Instance() {
    static ChangeQueue* queue = new ChangeQueue;
    return *queue;
  }
  static void Callback(void* context, int event, const char* devicePath, void*) {
    auto& queue = *static_cast<ChangeQueue*>(context);
    std::lock_guard<std::mutex> lock(queue.mutex_);
    queue.changes_.push_back(Change{event, devicePath ? devicePath : ""});
    queue.changed_.notify_one();
  }
  // Waits up to `timeout` for changes and takes them.
  std::deque<Change> Take(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !changes_.empty(); });
    std::deque<Change> taken;
    taken.swap(changes_);
    return taken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Change> changes_;
};

std::string Stamp(Clock::time_point start) {
  char text[24];
  std::snprintf(text, sizeof(text), "[%5.1f s]",
                std::chrono::duration<double>(Clock::now() - start).count());
  return text;
}

// The emulated user: unplugs the second camera and plugs it back, plugs in a
// new camera and unplugs it again, then the same with the first camera.
void PlayCables(Emulation& emulation, double seconds, Clock::time_point start,
                const std::atomic<bool>& watching) {
  Console& console = Console::Instance();
  const auto at = [&](double share) {
    while (watching.load() &&
           std::chrono::duration<double>(Clock::now() - start).count() < seconds * share)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return watching.load();
  };
  const auto say = [&](const std::string& what) {
    console.Line(Stamp(start) + " emulator: " + what);
  };
  const int second = emulation.Count() > 1 ? 1 : 0;
  int added = -1;
  if (emulation.Count() > 0) {
    if (!at(0.15)) return;
    say("unplugging " + emulation.Serial(second));
    emulation.Unplug(second);
    if (!at(0.3)) return;
    say("plugging " + emulation.Serial(second) + " back in");
    emulation.Replug(second);
  }
  if (!at(0.45)) return;
  say("plugging in a new camera");
  added = emulation.AddCamera();
  if (!at(0.6)) return;
  say("unplugging " + emulation.Serial(added));
  emulation.Unplug(added);
  if (emulation.Count() > 1 && second != 0) {
    if (!at(0.75)) return;
    say("unplugging " + emulation.Serial(0));
    emulation.Unplug(0);
    if (!at(0.85)) return;
    say("plugging " + emulation.Serial(0) + " back in");
    emulation.Replug(0);
  }
}

}  // namespace

int WatchCommand(int argc, char** argv, GlobalOptions& globals) {
  double seconds = 0;
  CommandOptions options;
  options.shortOptions = "s:";
  options.longOptions = {{"seconds", required_argument, nullptr, 's'}};
  const auto take = [&](int code, const char* value) {
    long long parsed = 0;
    if (code != 's') return false;
    if (!ParseNumber(value, 1, 86400, &parsed)) {
      UsageError("watch", std::string("--seconds wants 1 to 86400, not '") + value + "'");
      return false;
    }
    seconds = static_cast<double>(parsed);
    return true;
  };
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "watch", options, globals, take, &arguments)) return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }
  if (!arguments.empty()) return UsageError("watch", "takes no arguments");
  if (globals.emulate > 0 && seconds == 0) seconds = 6;

  Session session(globals, "watch");
  if (const int started = session.Start()) return started;
  LumoUsbManager& manager = session.Manager();
  Console& console = Console::Instance();
  ChangeQueue& queue = ChangeQueue::Instance();
  manager.SetDeviceChangeCallback(&ChangeQueue::Callback, &queue);

  const auto start = Clock::now();
  const std::vector<CameraEntry> present = session.Cameras();
  console.Line(Stamp(start) + " " + std::to_string(present.size()) + " camera(s) present" +
               (seconds > 0 ? ", watching for " + std::to_string(static_cast<int>(seconds)) + " s"
                            : ", watching until Ctrl-C"));
  for (const CameraEntry& camera : present)
    console.Line("          index " + std::to_string(camera.index) + ": " + camera.path);

  InterruptGuard interrupt;
  std::atomic<bool> watching{true};
  std::thread cables;
  if (Emulation* emulation = session.Emulated())
    cables = std::thread(PlayCables, std::ref(*emulation), seconds, start, std::cref(watching));

  int arrivals = 0;
  int removals = 0;
  const auto show = [&](const Change& change) {
    const bool arrived = change.event == LUMO_DEVICE_ARRIVED;
    ++(arrived ? arrivals : removals);
    console.Line(Stamp(start) + (arrived ? " arrived  " : " removed  ") + change.path);
  };
  while (!InterruptGuard::Interrupted() &&
         (seconds <= 0 || std::chrono::duration<double>(Clock::now() - start).count() < seconds)) {
    for (const Change& change : queue.Take(std::chrono::milliseconds(100))) show(change);
  }
  watching = false;
  if (cables.joinable()) cables.join();
  // Changes reported while the last cable move finished.
  for (const Change& change : queue.Take(std::chrono::milliseconds(0))) show(change);
  manager.SetDeviceChangeCallback(nullptr, nullptr);
  console.Line(Stamp(start) + " " + std::to_string(arrivals) + " arrival(s), " +
               std::to_string(removals) + " removal(s); " + std::to_string(manager.DeviceCount()) +
               " camera(s) present");
  return kExitOk;
}

}  // namespace lumo::tool
