// lumosrc: a live GstPushSrc pushing the frames of one camera.
//
// Buffers: each frame is taken from the library as a lent frame and pushed
// without a copy, wrapped in a buffer whose memory gives the frame back
// when the buffer is freed. A camera lends at most its buffer count less
// one frames; so that the stream never stalls because downstream holds
// them all, the element keeps one lease for itself: once the camera's lent
// frames reach the buffer count less two, the next frame is copied into a
// buffer of its own and given back at once (counted in `stats` as a copy).
// Frames whose lines would not meet GStreamer's default 4-byte row stride
// are copied as well, into padded rows.
//
// Lifetime: every wrapped buffer holds a reference to the CameraSession it
// came from, so the manager that gives its frame back lives as long as the
// last such buffer, whether or not the element is still running or exists.
//
// Time: PTS is the frame's host timestamp (when its header arrived) mapped
// to running time: the pipeline clock and the library's steady clock are
// read at the same moment to learn their offset, and the base time is
// subtracted. Frames stamped before the element started playing are
// dropped (given back at once) rather than pushed with a negative running
// time. DURATION is the measured frame interval, OFFSET the library's
// sequence number and OFFSET_END the next one. The host timestamp and the
// camera's frame number travel as GstReferenceTimestampMeta with the caps
// timestamp/x-lumo-host and timestamp/x-lumo-camera-frame.
//
// Hot-plug: while the camera is away the element posts lumo-camera-removed
// once, keeps waiting in short slices (so that unlocking and state changes
// never wait for the camera), and posts lumo-camera-returned with the first
// frame after it came back; that buffer is marked DISCONT.
#include "LumoSrc.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CameraSession.h"
#include "lumo/Frame.h"
#include "lumo/LumoError.h"

#ifdef LUMO_GST_EMULATOR
#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"
#endif

GST_DEBUG_CATEGORY_STATIC(lumo_src_debug);
#define GST_CAT_DEFAULT lumo_src_debug

namespace {

using lumo::gst::CameraSession;

constexpr unsigned kSliceMs = 50;  // longest wait inside create() between unlock checks
constexpr GstClockTime kDefaultLatency = 10 * GST_MSECOND;  // before an interval is measured

enum EmulateMode { kEmulateRaw = 0, kEmulateLinePacket = 1 };

enum Property {
  kPropZero,
  kPropCamera,
  kPropEmulate,
  kPropEmulateMode,
  kPropEmulateWidth,
  kPropEmulateHeight,
  kPropEmulatePixelSize,
  kPropEmulateRate,
  kPropPixelSize,
  kPropBuffers,
  kPropTransferSize,
  kPropFrameBytes,
  kPropTimeout,
  kPropRemovalTimeout,
  kPropStats,
};

struct Settings {
  std::string camera;
  int emulate = 0;
  int emulateMode = kEmulateRaw;
  int emulateWidth = 1024;
  int emulateHeight = 768;
  int emulatePixelSize = 2;
  guint64 emulateRate = 400000000;
  int pixelSize = 0;
  int buffers = 16;
  int transferSize = 0;
  gint64 frameBytes = 0;
  int timeoutMs = 5000;
  int removalTimeoutS = -1;
};

// A lent frame wrapped by a buffer: given back when the buffer is freed.
struct Lease {
  std::shared_ptr<CameraSession> session;
  void* record;
};

void GiveBackLease(gpointer data) {
  std::unique_ptr<Lease> lease(static_cast<Lease*>(data));
  lease->session->Release(lease->record);
}

// What the streaming thread tracks between frames.
struct StreamState {
  guint32 pixelFormat = 0;
  guint32 width = 0;
  guint32 height = 0;
  gint64 firstTimestampNs = -1;  // without a clock, PTS counts from the first frame
  gint64 lastTimestampNs = -1;
  guint64 lastSequence = 0;
  gint64 lastProgressNs = 0;  // last frame, start or return from away
  gint64 awaySinceNs = -1;
  bool removedPosted = false;
  bool idleWarned = false;
  bool lentWarned = false;
  bool latencyPosted = false;
};

struct SrcState {
  std::mutex settingsLock;
  Settings settings;

  // Taken from `settings` at start; read by the streaming thread only.
  Settings active;
  std::mutex sessionLock;  // `session` is read by the stats getter too
  std::shared_ptr<CameraSession> session;
#ifdef LUMO_GST_EMULATOR
  std::vector<std::unique_ptr<lumo::emulator::EmulatedDevice>> emulated;
#endif
  StreamState stream;

  std::atomic<bool> flushing{false};
  std::mutex wakeLock;
  std::condition_variable wake;

  std::atomic<guint64> buffersPushed{0};
  std::atomic<guint64> copies{0};
  std::atomic<guint64> staleDropped{0};
  std::atomic<gint64> intervalNs{0};
  std::atomic<gint> bufferCount{16};
};

}  // namespace

struct _GstLumoSrc {
  GstPushSrc parent;
  SrcState* state;  // owned; made in init, freed in finalize
};

G_DEFINE_TYPE(GstLumoSrc, gst_lumo_src, GST_TYPE_PUSH_SRC)

namespace {

GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                            GST_STATIC_CAPS("video/x-raw, format = (string) { GRAY8, GRAY16_LE }, "
                                            "width = (int) [ 1, MAX ], height = (int) [ 1, MAX ], "
                                            "framerate = (fraction) [ 0/1, MAX ]"));

GType emulate_mode_get_type() {
  static GType type = 0;
  static const GEnumValue values[] = {
      {kEmulateRaw, "Raw frames of emulate-width x emulate-height pixels", "raw"},
      {kEmulateLinePacket, "Line-packet frames (1000 x 1000, 8 bits)", "line-packet"},
      {0, nullptr, nullptr}};
  if (g_once_init_enter(&type)) {
    GType registered = g_enum_register_static("GstLumoSrcEmulateMode", values);
    g_once_init_leave(&type, registered);
  }
  return type;
}

SrcState& State(gpointer object) { return *GST_LUMO_SRC(object)->state; }

// Wakes early when the element is unlocked.
void WaitSlice(SrcState& s, unsigned ms) {
  std::unique_lock<std::mutex> lock(s.wakeLock);
  s.wake.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.flushing.load(); });
}

void PostCameraMessage(GstLumoSrc* self, const char* name, const std::string& serial) {
  GstStructure* structure =
      gst_structure_new(name, "serial", G_TYPE_STRING, serial.c_str(), nullptr);
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), structure));
}

// ---- GObject

void gst_lumo_src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  SrcState& s = State(object);
  std::lock_guard<std::mutex> lock(s.settingsLock);
  Settings& p = s.settings;
  switch (id) {
    case kPropCamera: {
      const gchar* text = g_value_get_string(value);
      p.camera = text ? text : "";
      break;
    }
    case kPropEmulate:
      p.emulate = g_value_get_int(value);
      break;
    case kPropEmulateMode:
      p.emulateMode = g_value_get_enum(value);
      break;
    case kPropEmulateWidth:
      p.emulateWidth = g_value_get_int(value);
      break;
    case kPropEmulateHeight:
      p.emulateHeight = g_value_get_int(value);
      break;
    case kPropEmulatePixelSize:
      p.emulatePixelSize = g_value_get_int(value);
      break;
    case kPropEmulateRate:
      p.emulateRate = g_value_get_uint64(value);
      break;
    case kPropPixelSize:
      p.pixelSize = g_value_get_int(value);
      break;
    case kPropBuffers:
      p.buffers = g_value_get_int(value);
      break;
    case kPropTransferSize:
      p.transferSize = g_value_get_int(value);
      break;
    case kPropFrameBytes:
      p.frameBytes = g_value_get_int64(value);
      break;
    case kPropTimeout:
      p.timeoutMs = g_value_get_int(value);
      break;
    case kPropRemovalTimeout:
      p.removalTimeoutS = g_value_get_int(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
}

GstStructure* MakeStats(SrcState& s) {
  GstStructure* stats = gst_structure_new_empty("lumo-stats");
  std::shared_ptr<CameraSession> session;
  {
    std::lock_guard<std::mutex> lock(s.sessionLock);
    session = s.session;
  }
  LumoCameraStatistics c{};
  const bool known = session && session->Manager().GetStatistics(session->Handle(), &c);
  gst_structure_set(stats, "camera-known", G_TYPE_BOOLEAN, known, "frames-completed", G_TYPE_UINT64,
                    static_cast<guint64>(c.framesCompleted), "frames-lost-no-buffer", G_TYPE_UINT64,
                    static_cast<guint64>(c.framesLostNoBuffer), "frames-lost-queue-full",
                    G_TYPE_UINT64, static_cast<guint64>(c.framesLostQueueFull), "frames-incomplete",
                    G_TYPE_UINT64, static_cast<guint64>(c.framesIncomplete), "blocks-received",
                    G_TYPE_UINT64, static_cast<guint64>(c.blocksReceived), "bytes-received",
                    G_TYPE_UINT64, static_cast<guint64>(c.bytesReceived), "transfer-errors",
                    G_TYPE_UINT64, static_cast<guint64>(c.transferErrors), "command-check-errors",
                    G_TYPE_UINT64, static_cast<guint64>(c.commandCheckErrors), "command-timeouts",
                    G_TYPE_UINT64, static_cast<guint64>(c.commandTimeouts), "removals",
                    G_TYPE_UINT64, static_cast<guint64>(c.removals), "reattaches", G_TYPE_UINT64,
                    static_cast<guint64>(c.reattaches), nullptr);
  gst_structure_set(stats, "buffers-pushed", G_TYPE_UINT64, s.buffersPushed.load(), "copies",
                    G_TYPE_UINT64, s.copies.load(), "stale-dropped", G_TYPE_UINT64,
                    s.staleDropped.load(), "frame-interval-ns", G_TYPE_INT64,
                    static_cast<gint64>(s.intervalNs.load()), nullptr);
  return stats;
}

void gst_lumo_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  SrcState& s = State(object);
  if (id == kPropStats) {
    g_value_take_boxed(value, MakeStats(s));
    return;
  }
  std::lock_guard<std::mutex> lock(s.settingsLock);
  const Settings& p = s.settings;
  switch (id) {
    case kPropCamera:
      g_value_set_string(value, p.camera.c_str());
      break;
    case kPropEmulate:
      g_value_set_int(value, p.emulate);
      break;
    case kPropEmulateMode:
      g_value_set_enum(value, p.emulateMode);
      break;
    case kPropEmulateWidth:
      g_value_set_int(value, p.emulateWidth);
      break;
    case kPropEmulateHeight:
      g_value_set_int(value, p.emulateHeight);
      break;
    case kPropEmulatePixelSize:
      g_value_set_int(value, p.emulatePixelSize);
      break;
    case kPropEmulateRate:
      g_value_set_uint64(value, p.emulateRate);
      break;
    case kPropPixelSize:
      g_value_set_int(value, p.pixelSize);
      break;
    case kPropBuffers:
      g_value_set_int(value, p.buffers);
      break;
    case kPropTransferSize:
      g_value_set_int(value, p.transferSize);
      break;
    case kPropFrameBytes:
      g_value_set_int64(value, p.frameBytes);
      break;
    case kPropTimeout:
      g_value_set_int(value, p.timeoutMs);
      break;
    case kPropRemovalTimeout:
      g_value_set_int(value, p.removalTimeoutS);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
}

void gst_lumo_src_finalize(GObject* object) {
  delete GST_LUMO_SRC(object)->state;
  GST_LUMO_SRC(object)->state = nullptr;
  G_OBJECT_CLASS(gst_lumo_src_parent_class)->finalize(object);
}

// ---- starting and stopping

#ifdef LUMO_GST_EMULATOR
bool PlugEmulatedCameras(SrcState& s, std::string* firstSerial, std::string* error) {
  using lumo::emulator::EmulatedDevice;
  for (int i = 0; i < s.active.emulate; ++i) {
    auto camera = EmulatedDevice::Camera(lumo::gst::NextEmulatedSerial());
    lumo::emulator::StreamConfig config = camera->Stream().Config();
    config.mode = s.active.emulateMode == kEmulateLinePacket
                      ? lumo::emulator::StreamMode::kLinePacket
                      : lumo::emulator::StreamMode::kRaw;
    config.width = static_cast<std::uint16_t>(s.active.emulateWidth);
    config.height = static_cast<std::uint16_t>(s.active.emulateHeight);
    config.pixelSize = static_cast<std::uint32_t>(s.active.emulatePixelSize);
    config.bytesPerSecond = s.active.emulateRate;
    camera->Stream().SetConfig(config);
    if (!camera->Plug()) {
      *error = "cannot plug in the emulated camera " + camera->Path();
      return false;
    }
    if (i == 0) *firstSerial = camera->Identity().serial;
    s.emulated.push_back(std::move(camera));
  }
  lumo::emulator::WaitForNoticesHandled(5000);
  return true;
}
#endif

gboolean gst_lumo_src_start(GstBaseSrc* base) {
  SrcState& s = State(base);
  {
    std::lock_guard<std::mutex> lock(s.settingsLock);
    s.active = s.settings;
  }
  std::string selector = s.active.camera;
  std::string error;
  int pixelSize = s.active.pixelSize;
  if (s.active.emulate > 0) {
#ifdef LUMO_GST_EMULATOR
    std::string firstSerial;
    if (!PlugEmulatedCameras(s, &firstSerial, &error)) {
      s.emulated.clear();
      GST_ELEMENT_ERROR(base, RESOURCE, FAILED, ("%s", error.c_str()), (nullptr));
      return FALSE;
    }
    if (selector.empty()) selector = firstSerial;
    if (pixelSize == 0)
      pixelSize = s.active.emulateMode == kEmulateLinePacket ? 1 : s.active.emulatePixelSize;
#else
    GST_ELEMENT_ERROR(base, RESOURCE, SETTINGS,
                      ("This build of lumosrc has no emulator; emulate must be 0"), (nullptr));
    return FALSE;
#endif
  }
  auto session = std::make_shared<CameraSession>();
  if (!session->Open(selector, &error)) {
#ifdef LUMO_GST_EMULATOR
    s.emulated.clear();
#endif
    GST_ELEMENT_ERROR(base, RESOURCE, NOT_FOUND, ("%s", error.c_str()), (nullptr));
    return FALSE;
  }
  LumoUsbManager& manager = session->Manager();
  void* handle = session->Handle();
  manager.SetBufferCount(handle, s.active.buffers);
  if (s.active.transferSize > 0) manager.SetTransferSize(handle, s.active.transferSize);
  if (s.active.frameBytes > 0) manager.SetFrameBytes(handle, s.active.frameBytes);
  if (pixelSize > 0) manager.SetPixelSize(handle, pixelSize);
  if (!manager.StartAcq(handle)) {
    const LumoLastError reason = manager.GetLastError(handle);
    session->Close();
#ifdef LUMO_GST_EMULATOR
    s.emulated.clear();
#endif
    GST_ELEMENT_ERROR(base, RESOURCE, OPEN_READ,
                      ("Cannot start acquisition on camera %s: %s", session->Serial().c_str(),
                       LumoErrorText(reason.kind)),
                      (nullptr));
    return FALSE;
  }
  GST_INFO_OBJECT(base, "streaming from camera %s, %d buffers", session->Serial().c_str(),
                  s.active.buffers);
  s.stream = StreamState{};
  s.stream.lastProgressNs = LumoSteadyClockNs();
  s.buffersPushed = 0;
  s.copies = 0;
  s.staleDropped = 0;
  s.intervalNs = 0;
  s.bufferCount = s.active.buffers;
  std::lock_guard<std::mutex> lock(s.sessionLock);
  s.session = std::move(session);
  return TRUE;
}

gboolean gst_lumo_src_stop(GstBaseSrc* base) {
  SrcState& s = State(base);
  std::shared_ptr<CameraSession> session;
  {
    std::lock_guard<std::mutex> lock(s.sessionLock);
    session = std::move(s.session);
  }
  // Frames still wrapped by buffers downstream stay lent; those buffers
  // keep the session and give them back when freed.
  if (session) session->Close();
#ifdef LUMO_GST_EMULATOR
  s.emulated.clear();
  lumo::emulator::WaitForNoticesHandled(5000);
#endif
  return TRUE;
}

gboolean gst_lumo_src_unlock(GstBaseSrc* base) {
  SrcState& s = State(base);
  {
    std::lock_guard<std::mutex> lock(s.wakeLock);
    s.flushing = true;
  }
  s.wake.notify_all();
  return TRUE;
}

gboolean gst_lumo_src_unlock_stop(GstBaseSrc* base) {
  State(base).flushing = false;
  return TRUE;
}

// ---- caps

// Caps for the current frame geometry; framerate 0/1 unless downstream
// fixes one.
gboolean gst_lumo_src_negotiate(GstBaseSrc* base) {
  SrcState& s = State(base);
  if (s.stream.width == 0) return TRUE;  // caps follow the first frame
  const char* format = s.stream.pixelFormat == LUMO_PIXEL_MONO8 ? "GRAY8" : "GRAY16_LE";
  GstCaps* ours = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, "width",
                                      G_TYPE_INT, static_cast<gint>(s.stream.width), "height",
                                      G_TYPE_INT, static_cast<gint>(s.stream.height), "framerate",
                                      GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
  GstCaps* caps = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), ours);
  if (!caps) caps = gst_caps_ref(ours);
  gst_caps_unref(ours);
  if (gst_caps_is_empty(caps)) {
    GST_ELEMENT_ERROR(
        base, STREAM, FORMAT,
        ("Downstream refuses %s %ux%u frames", format, s.stream.width, s.stream.height), (nullptr));
    gst_caps_unref(caps);
    return FALSE;
  }
  caps = gst_caps_truncate(caps);
  caps = gst_caps_make_writable(caps);
  gst_structure_fixate_field_nearest_fraction(gst_caps_get_structure(caps, 0), "framerate", 0, 1);
  caps = gst_caps_fixate(caps);
  gchar* text = gst_caps_to_string(caps);
  GST_DEBUG_OBJECT(base, "caps %s", text);
  g_free(text);
  const gboolean done = gst_base_src_set_caps(base, caps);
  gst_caps_unref(caps);
  return done;
}

gboolean gst_lumo_src_decide_allocation(GstBaseSrc*, GstQuery*) {
  return TRUE;  // buffers are the camera's frames or allocated per frame; no pool
}

gboolean gst_lumo_src_query(GstBaseSrc* base, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
    SrcState& s = State(base);
    // A frame is pushed once it is complete, a frame interval after its
    // header arrived; the camera's buffers can hold up to `buffers` more.
    const gint64 interval = s.intervalNs.load();
    const GstClockTime min = interval > 0 ? static_cast<GstClockTime>(interval) : kDefaultLatency;
    const GstClockTime max = min * static_cast<GstClockTime>(std::max(1, s.bufferCount.load()));
    gst_query_set_latency(query, TRUE, min, max);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(gst_lumo_src_parent_class)->query(base, query);
}

// ---- frames

GstBuffer* CopyFrame(const LumoFrame& frame, guint rowBytes, guint stride) {
  GstBuffer* buffer =
      gst_buffer_new_allocate(nullptr, static_cast<gsize>(stride) * frame.height, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  const auto* from = static_cast<const guint8*>(frame.image);
  const gsize available = static_cast<gsize>(frame.imageBytes);
  for (guint y = 0; y < frame.height; ++y) {
    guint8* row = map.data + static_cast<gsize>(y) * stride;
    const gsize at = static_cast<gsize>(y) * rowBytes;
    const gsize n = at < available ? std::min<gsize>(rowBytes, available - at) : 0;
    if (n > 0) std::memcpy(row, from + at, n);
    std::memset(row + n, 0, stride - n);
  }
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

// Running time of a host timestamp, or -1 when it lies before the element
// started playing.
gint64 RunningTime(GstLumoSrc* self, SrcState& s, gint64 timestampNs) {
  GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
  if (!clock) {
    if (s.stream.firstTimestampNs < 0) s.stream.firstTimestampNs = timestampNs;
    return timestampNs - s.stream.firstTimestampNs;
  }
  const gint64 steadyBefore = LumoSteadyClockNs();
  const auto clockNow = static_cast<gint64>(gst_clock_get_time(clock));
  const gint64 steadyAfter = LumoSteadyClockNs();
  gst_object_unref(clock);
  const gint64 offset = clockNow - (steadyBefore + (steadyAfter - steadyBefore) / 2);
  const auto base = static_cast<gint64>(gst_element_get_base_time(GST_ELEMENT(self)));
  const gint64 running = timestampNs + offset - base;
  return running >= 0 ? running : -1;
}

void MeasureInterval(GstLumoSrc* self, SrcState& s, const LumoFrame& frame, bool afterGap) {
  StreamState& st = s.stream;
  if (!afterGap && st.lastTimestampNs >= 0 && frame.sequence > st.lastSequence &&
      frame.timestampNs > st.lastTimestampNs) {
    const gint64 interval = (frame.timestampNs - st.lastTimestampNs) /
                            static_cast<gint64>(frame.sequence - st.lastSequence);
    const gint64 previous = s.intervalNs.load();
    s.intervalNs = previous == 0 ? interval : previous - previous / 8 + interval / 8;
    if (!st.latencyPosted) {
      st.latencyPosted = true;
      gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
    }
  }
  st.lastTimestampNs = frame.timestampNs;
  st.lastSequence = frame.sequence;
}

GstCaps* HostTimestampCaps() {
  static GstStaticCaps caps = GST_STATIC_CAPS("timestamp/x-lumo-host");
  return gst_static_caps_get(&caps);
}

GstCaps* CameraFrameCaps() {
  static GstStaticCaps caps = GST_STATIC_CAPS("timestamp/x-lumo-camera-frame");
  return gst_static_caps_get(&caps);
}

// Turns a taken frame into *out. GST_FLOW_CUSTOM_SUCCESS: the frame was
// dropped, take the next.
GstFlowReturn Deliver(GstLumoSrc* self, const std::shared_ptr<CameraSession>& session,
                      const LumoFrame& frame, bool copy, GstBuffer** out) {
  SrcState& s = *self->state;
  StreamState& st = s.stream;
  guint bytesPerPixel = 0;
  if (frame.pixelFormat == LUMO_PIXEL_MONO8) bytesPerPixel = 1;
  if (frame.pixelFormat == LUMO_PIXEL_MONO16) bytesPerPixel = 2;
  if (bytesPerPixel == 0 || frame.width == 0 || frame.height == 0) {
    session->Release(frame.record);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                      ("Unsupported frame: %u bits per pixel, %ux%u", frame.bitsPerPixel,
                       frame.width, frame.height),
                      (nullptr));
    return GST_FLOW_NOT_NEGOTIATED;
  }
  const bool returned = st.removedPosted;
  st.lastProgressNs = LumoSteadyClockNs();
  st.awaySinceNs = -1;
  st.idleWarned = false;
  if (returned) {
    st.removedPosted = false;
    GST_INFO_OBJECT(self, "camera %s is back", session->Serial().c_str());
    PostCameraMessage(self, "lumo-camera-returned", session->Serial());
  }

  const gint64 running = RunningTime(self, s, frame.timestampNs);
  if (running < 0) {
    session->Release(frame.record);
    ++s.staleDropped;
    MeasureInterval(self, s, frame, returned);
    return GST_FLOW_CUSTOM_SUCCESS;
  }

  if (frame.pixelFormat != st.pixelFormat || frame.width != st.width || frame.height != st.height) {
    st.pixelFormat = frame.pixelFormat;
    st.width = frame.width;
    st.height = frame.height;
    if (!gst_base_src_negotiate(GST_BASE_SRC(self))) {
      session->Release(frame.record);
      st.width = 0;
      return GST_FLOW_NOT_NEGOTIATED;
    }
  }

  const guint rowBytes = frame.width * bytesPerPixel;
  const guint stride = GST_ROUND_UP_4(rowBytes);
  GstBuffer* buffer = nullptr;
  if (copy || stride != rowBytes ||
      frame.imageBytes < static_cast<guint64>(rowBytes) * frame.height) {
    buffer = CopyFrame(frame, rowBytes, stride);
    session->Release(frame.record);
    ++s.copies;
  } else {
    auto lease = std::make_unique<Lease>(Lease{session, frame.record});
    const gsize size = static_cast<gsize>(rowBytes) * frame.height;
    buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame.image, size, 0, size,
                                         lease.release(), GiveBackLease);
  }

  const bool discont = frame.lostBefore > 0 || returned;
  MeasureInterval(self, s, frame, returned);
  const gint64 interval = s.intervalNs.load();
  GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(running);
  GST_BUFFER_DTS(buffer) = static_cast<GstClockTime>(running);
  GST_BUFFER_DURATION(buffer) =
      interval > 0 ? static_cast<GstClockTime>(interval) : GST_CLOCK_TIME_NONE;
  GST_BUFFER_OFFSET(buffer) = frame.sequence;
  GST_BUFFER_OFFSET_END(buffer) = frame.sequence + 1;
  if (discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
  if (frame.lostBefore > 0)
    GST_DEBUG_OBJECT(self, "%" G_GUINT64_FORMAT " frames lost before frame %" G_GUINT64_FORMAT,
                     static_cast<guint64>(frame.lostBefore), static_cast<guint64>(frame.sequence));

  GstCaps* hostCaps = HostTimestampCaps();
  const gint64 transfer = frame.completedNs - frame.timestampNs;
  gst_buffer_add_reference_timestamp_meta(
      buffer, hostCaps, static_cast<GstClockTime>(frame.timestampNs),
      transfer >= 0 ? static_cast<GstClockTime>(transfer) : GST_CLOCK_TIME_NONE);
  gst_caps_unref(hostCaps);
  GstCaps* frameCaps = CameraFrameCaps();
  gst_buffer_add_reference_timestamp_meta(buffer, frameCaps, frame.cameraFrameNumber,
                                          GST_CLOCK_TIME_NONE);
  gst_caps_unref(frameCaps);

  ++s.buffersPushed;
  *out = buffer;
  return GST_FLOW_OK;
}

// The camera is away: post the removal once, fail after removal-timeout.
bool WhileAway(GstLumoSrc* self, SrcState& s, const CameraSession& session, gint64 now) {
  StreamState& st = s.stream;
  if (st.awaySinceNs < 0) st.awaySinceNs = now;
  if (!st.removedPosted) {
    st.removedPosted = true;
    GST_WARNING_OBJECT(self, "camera %s was unplugged", session.Serial().c_str());
    PostCameraMessage(self, "lumo-camera-removed", session.Serial());
  }
  const int limit = s.active.removalTimeoutS;
  if (limit >= 0 && now - st.awaySinceNs >= static_cast<gint64>(limit) * 1000000000) {
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                      ("Camera %s has been unplugged for %d s", session.Serial().c_str(), limit),
                      (nullptr));
    return false;
  }
  return true;
}

void WhileIdle(GstLumoSrc* self, SrcState& s, const CameraSession& session, gint64 now) {
  StreamState& st = s.stream;
  st.awaySinceNs = -1;  // attached, merely silent
  const int limit = s.active.timeoutMs;
  if (limit > 0 && !st.idleWarned &&
      now - st.lastProgressNs >= static_cast<gint64>(limit) * 1000000) {
    st.idleWarned = true;
    GST_ELEMENT_WARNING(self, RESOURCE, READ,
                        ("No frame from camera %s for %d ms", session.Serial().c_str(), limit),
                        (nullptr));
  }
}

GstFlowReturn gst_lumo_src_create(GstPushSrc* push, GstBuffer** out) {
  GstLumoSrc* self = GST_LUMO_SRC(push);
  SrcState& s = *self->state;
  std::shared_ptr<CameraSession> session;
  {
    std::lock_guard<std::mutex> lock(s.sessionLock);
    session = s.session;
  }
  if (!session) return GST_FLOW_FLUSHING;
  LumoUsbManager& manager = session->Manager();
  void* handle = session->Handle();
  const int spare = s.active.buffers - 2;
  for (;;) {
    if (s.flushing) return GST_FLOW_FLUSHING;
    // Keep one lease in reserve: once downstream holds all but it, the
    // frame taken now is copied and given back at once.
    const bool copy = manager.CameraHeldFrames(handle) >= spare;
    LumoFrame frame{};
    if (manager.CameraTakeFrame(handle, &frame, kSliceMs)) {
      const GstFlowReturn result = Deliver(self, session, frame, copy, out);
      if (result == GST_FLOW_CUSTOM_SUCCESS) continue;
      return result;
    }
    const LumoLastError reason = manager.GetLastError(handle);
    const gint64 now = LumoSteadyClockNs();
    switch (reason.kind) {
      case LUMO_ERROR_TIMED_OUT:
        WhileIdle(self, s, *session, now);
        break;
      case LUMO_ERROR_REMOVED:
        if (!WhileAway(self, s, *session, now)) return GST_FLOW_ERROR;
        WaitSlice(s, kSliceMs);
        break;
      case LUMO_ERROR_ALL_LENT:
        // Others hold the camera's frames too (another user of the same
        // camera); wait for one to come back.
        if (!s.stream.lentWarned) {
          s.stream.lentWarned = true;
          GST_WARNING_OBJECT(self, "every frame of camera %s is lent; waiting",
                             session->Serial().c_str());
        }
        WhileIdle(self, s, *session, now);
        WaitSlice(s, 5);
        break;
      default:
        GST_ELEMENT_ERROR(self, RESOURCE, READ,
                          ("Cannot take a frame from camera %s: %s", session->Serial().c_str(),
                           LumoErrorText(reason.kind)),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
  }
}

}  // namespace

// ---- class

static void gst_lumo_src_class_init(GstLumoSrcClass* klass) {
  GObjectClass* object = G_OBJECT_CLASS(klass);
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass* push = GST_PUSH_SRC_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(lumo_src_debug, "lumosrc", 0, "Lumo USB3 camera source");

  object->set_property = gst_lumo_src_set_property;
  object->get_property = gst_lumo_src_get_property;
  object->finalize = gst_lumo_src_finalize;

  const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                           GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      object, kPropCamera,
      g_param_spec_string("camera", "Camera",
                          "The camera to stream from: its serial number, its device path, or "
                          "its position among the cameras plugged in (0 is the first). Empty: "
                          "the first camera, or the first emulated one when emulate is set",
                          "", rw));
  g_object_class_install_property(
      object, kPropEmulate,
      g_param_spec_int("emulate", "Emulated cameras",
                       "Emulated cameras to plug in within this process while the element "
                       "runs (0: use real cameras only); camera picks among all cameras",
                       0, 16, 0, rw));
  g_object_class_install_property(object, kPropEmulateMode,
                                  g_param_spec_enum("emulate-mode", "Emulated stream mode",
                                                    "Frame format the emulated cameras send",
                                                    emulate_mode_get_type(), kEmulateRaw, rw));
  g_object_class_install_property(
      object, kPropEmulateWidth,
      g_param_spec_int("emulate-width", "Emulated width", "Pixels per line of emulated raw frames",
                       1, 65535, 1024, rw));
  g_object_class_install_property(
      object, kPropEmulateHeight,
      g_param_spec_int("emulate-height", "Emulated height", "Lines of emulated raw frames", 1,
                       65535, 768, rw));
  g_object_class_install_property(
      object, kPropEmulatePixelSize,
      g_param_spec_int("emulate-pixel-size", "Emulated pixel size",
                       "Bytes per pixel of emulated raw frames: 1 (GRAY8) or 2 (GRAY16_LE)", 1, 2,
                       2, rw));
  g_object_class_install_property(
      object, kPropEmulateRate,
      g_param_spec_uint64("emulate-rate", "Emulated rate",
                          "Most bytes per second the emulated cameras send (0: as fast as they "
                          "can)",
                          0, G_MAXUINT64, 400000000, rw));
  g_object_class_install_property(
      object, kPropPixelSize,
      g_param_spec_int("pixel-size", "Pixel size",
                       "Bytes per pixel of the camera's raw frames, 1 or 2 (0: the camera's "
                       "setting; with emulate, emulate-pixel-size)",
                       0, 2, 0, rw));
  g_object_class_install_property(
      object, kPropBuffers,
      g_param_spec_int("buffers", "Frame buffers",
                       "Frame buffers of the camera's run. Downstream may hold up to buffers-2 "
                       "frames without a copy; further frames are copied",
                       3, 1024, 16, rw));
  g_object_class_install_property(
      object, kPropTransferSize,
      g_param_spec_int("transfer-size", "Transfer size",
                       "Bytes per stream transfer, a multiple of 4096 up to 4 MiB (0: the "
                       "library's default)",
                       0, 4 * 1024 * 1024, 0, rw));
  g_object_class_install_property(
      object, kPropFrameBytes,
      g_param_spec_int64("frame-bytes", "Frame bytes",
                         "Image bytes per frame the buffers are made for, so that no frame is "
                         "lost while they grow (0: grow as frames come)",
                         0, 256LL * 1024 * 1024, 0, rw));
  g_object_class_install_property(
      object, kPropTimeout,
      g_param_spec_int("timeout", "Timeout",
                       "Milliseconds without a frame after which a warning is posted; the "
                       "element keeps waiting (0: never warn)",
                       0, G_MAXINT, 5000, rw));
  g_object_class_install_property(
      object, kPropRemovalTimeout,
      g_param_spec_int("removal-timeout", "Removal timeout",
                       "Seconds the camera may stay unplugged before the element posts an "
                       "error (-1: wait for it forever)",
                       -1, G_MAXINT, -1, rw));
  g_object_class_install_property(
      object, kPropStats,
      g_param_spec_boxed("stats", "Statistics",
                         "The camera's counters (frames completed and lost, bytes, errors, "
                         "removals, re-attaches) and the element's: buffers-pushed, copies "
                         "(frames copied instead of lent), stale-dropped (frames from before "
                         "playing), frame-interval-ns",
                         GST_TYPE_STRUCTURE,
                         static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_set_static_metadata(element, "Lumo USB3 camera source", "Source/Video",
                                        "Streams the frames of a Lumo USB3 industrial camera",
                                        "The libLumoUsb developers");
  gst_element_class_add_static_pad_template(element, &src_template);

  base->start = gst_lumo_src_start;
  base->stop = gst_lumo_src_stop;
  base->unlock = gst_lumo_src_unlock;
  base->unlock_stop = gst_lumo_src_unlock_stop;
  base->negotiate = gst_lumo_src_negotiate;
  base->decide_allocation = gst_lumo_src_decide_allocation;
  base->query = gst_lumo_src_query;
  push->create = gst_lumo_src_create;
  gst_type_mark_as_plugin_api(emulate_mode_get_type(), static_cast<GstPluginAPIFlags>(0));
}

static void gst_lumo_src_init(GstLumoSrc* self) {
  self->state = new SrcState();
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
