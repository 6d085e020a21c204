// lumo view: a live window of one camera through GStreamer (lumosrc !
// videoconvert ! textoverlay ! autovideosink), with the frame rate, the
// data rate and the frames lost written over the picture once a second.
#include <gst/gst.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "Interrupt.h"
#include "LumoSrc.h"
#include "Session.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo view [-s SECONDS] [--sink ELEMENT]\n\n"
    "Shows the camera live in a window, with frames per second, MB/s and\n"
    "frames lost over the picture, until the window is closed or Ctrl-C.\n"
    "  -s, --seconds SECONDS  close the window after this long\n"
    "      --sink ELEMENT     the video sink (default autovideosink)\n";

constexpr guint kOverlayPeriodMs = 1000;

struct Totals {
  guint64 frames = 0;
  guint64 bytes = 0;
  guint64 lost = 0;
};

guint64 Field(const GstStructure* stats, const char* name) {
  guint64 value = 0;
  return gst_structure_get_uint64(stats, name, &value) ? value : 0;
}

Totals ReadTotals(GstElement* source) {
  GstStructure* stats = nullptr;
  g_object_get(source, "stats", &stats, nullptr);
  Totals totals;
  if (!stats) return totals;
  totals.frames = Field(stats, "buffers-pushed");
  totals.bytes = Field(stats, "bytes-received");
  totals.lost = Field(stats, "frames-lost-no-buffer") + Field(stats, "frames-lost-queue-full") +
                Field(stats, "frames-incomplete");
  gst_structure_free(stats);
  return totals;
}

struct Viewer {
  GMainLoop* loop = nullptr;
  GstElement* source = nullptr;
  GstElement* overlay = nullptr;
  Totals last;
  gint64 lastNs = 0;
  gint64 endNs = 0;  // 0: no time limit
  int exitCode = kExitOk;
};

// Once a second: the rates since the last tick, written over the picture.
gboolean Tick(gpointer data) {
  auto& viewer = *static_cast<Viewer*>(data);
  const gint64 now = g_get_monotonic_time() * 1000;
  const Totals totals = ReadTotals(viewer.source);
  const double seconds = static_cast<double>(now - viewer.lastNs) / 1e9;
  if (seconds > 0) {
    char text[128];
    std::snprintf(text, sizeof(text), "%.1f frames/s   %.1f MB/s   lost %llu",
                  static_cast<double>(totals.frames - viewer.last.frames) / seconds,
                  static_cast<double>(totals.bytes - viewer.last.bytes) / seconds / 1e6,
                  static_cast<unsigned long long>(totals.lost));
    g_object_set(viewer.overlay, "text", text, nullptr);
  }
  viewer.last = totals;
  viewer.lastNs = now;
  if (InterruptGuard::Interrupted()) {
    viewer.exitCode = kExitInterrupted;
    g_main_loop_quit(viewer.loop);
  } else if (viewer.endNs > 0 && now >= viewer.endNs) {
    g_main_loop_quit(viewer.loop);
  }
  return G_SOURCE_CONTINUE;
}

// Ctrl-C is noted by the interrupt guard; this looks often enough that the
// window closes at once.
gboolean CheckInterrupt(gpointer data) {
  auto& viewer = *static_cast<Viewer*>(data);
  if (InterruptGuard::Interrupted()) {
    viewer.exitCode = kExitInterrupted;
    g_main_loop_quit(viewer.loop);
  }
  return G_SOURCE_CONTINUE;
}

gboolean OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto& viewer = *static_cast<Viewer*>(data);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
      GError* error = nullptr;
      gchar* debug = nullptr;
      gst_message_parse_error(message, &error, &debug);
      // Closing the window ends the view; anything else is a failure.
      std::fprintf(stderr, "lumo view: %s\n", error->message);
      viewer.exitCode = kExitFailed;
      g_clear_error(&error);
      g_free(debug);
      g_main_loop_quit(viewer.loop);
      break;
    }
    case GST_MESSAGE_EOS:
      g_main_loop_quit(viewer.loop);
      break;
    case GST_MESSAGE_ELEMENT: {
      const GstStructure* s = gst_message_get_structure(message);
      const char* name = s ? gst_structure_get_name(s) : "";
      if (g_str_has_prefix(name, "lumo-camera-")) {
        const char* serial = gst_structure_get_string(s, "serial");
        std::printf("%s %s\n", name + 5, serial ? serial : "");
        std::fflush(stdout);
      }
      break;
    }
    default:
      break;
  }
  return TRUE;
}

}  // namespace

int ViewCommand(int argc, char** argv, GlobalOptions& globals) {
  long long seconds = 0;
  std::string sink = "autovideosink";
  CommandOptions options;
  options.shortOptions = "s:";
  options.longOptions = {{"seconds", required_argument, nullptr, 's'},
                         {"sink", required_argument, nullptr, 'k'}};
  const auto take = [&](int code, const char* value) {
    if (code == 's') {
      if (ParseNumber(value, 1, 86400, &seconds)) return true;
      UsageError("view", std::string("--seconds wants 1 to 86400, not '") + value + "'");
      return false;
    }
    if (code == 'k') {
      sink = value;
      return true;
    }
    return false;
  };
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "view", options, globals, take, &arguments)) return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }
  if (!arguments.empty()) return UsageError("view", "takes no arguments");

  Session session(globals, "view");
  if (const int started = session.Start()) return started;
  // The camera chosen with --camera, by its device ID: lumosrc opens it.
  const std::vector<CameraEntry> cameras = session.Cameras();
  const CameraEntry* chosen = cameras.empty() ? nullptr : &cameras.front();
  if (globals.camera >= 0) {
    chosen = nullptr;
    for (const CameraEntry& entry : cameras)
      if (entry.index == globals.camera) chosen = &entry;
  }
  if (!chosen) {
    std::fprintf(stderr, "lumo view: %s\n",
                 cameras.empty() ? "no camera found" : "no camera with that index");
    return kExitNoCamera;
  }

  gst_init(nullptr, nullptr);
  // lumosrc is built into the tool: no plugin path to set.
  gst_element_register(nullptr, "lumosrc", GST_RANK_NONE, GST_TYPE_LUMO_SRC);
  GError* error = nullptr;
  const std::string description =
      "lumosrc name=source ! videoconvert ! textoverlay name=overlay valignment=top "
      "halignment=left shaded-background=true font-desc=\"Sans 20\" text=\"starting\" "
      "! videoconvert ! " +
      sink;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline || error) {
    std::fprintf(stderr, "lumo view: cannot make the pipeline: %s\n",
                 error ? error->message : "unknown");
    g_clear_error(&error);
    if (pipeline) gst_object_unref(pipeline);
    return kExitFailed;
  }

  Viewer viewer;
  viewer.loop = g_main_loop_new(nullptr, FALSE);
  viewer.source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
  viewer.overlay = gst_bin_get_by_name(GST_BIN(pipeline), "overlay");
  g_object_set(viewer.source, "camera", chosen->path.c_str(), nullptr);
  GstBus* bus = gst_element_get_bus(pipeline);
  const guint watch = gst_bus_add_watch(bus, OnBusMessage, &viewer);
  gst_object_unref(bus);

  InterruptGuard interrupt;
  viewer.lastNs = g_get_monotonic_time() * 1000;
  if (seconds > 0) viewer.endNs = viewer.lastNs + seconds * 1000000000LL;
  const guint tick = g_timeout_add(kOverlayPeriodMs, Tick, &viewer);
  const guint poll = g_timeout_add(100, CheckInterrupt, &viewer);
  std::printf("viewing %s\n", chosen->path.c_str());
  std::fflush(stdout);
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    viewer.exitCode = kExitFailed;
    std::fprintf(stderr, "lumo view: the pipeline does not start\n");
  } else {
    g_main_loop_run(viewer.loop);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  g_source_remove(tick);
  g_source_remove(poll);
  g_source_remove(watch);
  gst_object_unref(viewer.source);
  gst_object_unref(viewer.overlay);
  gst_object_unref(pipeline);
  g_main_loop_unref(viewer.loop);
  return viewer.exitCode;
}

}  // namespace lumo::tool
