// lumosrc in a GstHarness, streaming from emulated cameras: its own
// (emulate=1) or one the test plugs and names with camera=.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

using lumo::emulator::EmulatedDevice;
using lumo::emulator::StreamFault;
using lumo::emulator::StreamFaultKind;

struct BufferUnref {
  void operator()(GstBuffer* b) const { gst_buffer_unref(b); }
};
using Buffer = std::unique_ptr<GstBuffer, BufferUnref>;

guint64 MetaValue(GstBuffer* buffer, const char* capsText) {
  GstCaps* caps = gst_caps_from_string(capsText);
  GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, caps);
  gst_caps_unref(caps);
  EXPECT_NE(meta, nullptr) << capsText;
  return meta ? meta->timestamp : 0;
}
guint32 FrameNumber(GstBuffer* b) {
  return static_cast<guint32>(MetaValue(b, "timestamp/x-lumo-camera-frame"));
}

// Index of the first byte that differs from the raw pattern, or -1.
long long FirstWrongByte(GstBuffer* buffer) {
  const guint32 frame = FrameNumber(buffer);
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return 0;
  long long wrong = -1;
  for (gsize i = 0; i < map.size && wrong < 0; ++i)
    if (map.data[i] != lumo::emulator::RawImageByte(frame, static_cast<guint32>(i)))
      wrong = static_cast<long long>(i);
  gst_buffer_unmap(buffer, &map);
  return wrong;
}

class LumoSrc : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void TearDown() override {
    if (h) gst_harness_teardown(h);
    if (bus) gst_object_unref(bus);
  }

  // Plugs a camera of the test's own, streaming at `rate` bytes a second.
  std::string PlugCamera(std::uint64_t rate, std::uint64_t frameLimit = 0) {
    camera = EmulatedDevice::Camera("GSTTEST1");
    lumo::emulator::StreamConfig config = camera->Stream().Config();
    config.bytesPerSecond = rate;
    config.frameLimit = frameLimit;
    camera->Stream().SetConfig(config);
    EXPECT_TRUE(camera->Plug());
    lumo::emulator::WaitForNoticesHandled(5000);
    return "camera=GSTTEST1";
  }

  void Start(const std::string& properties) {
    h = gst_harness_new("lumosrc");
    bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    gst_util_set_object_arg(G_OBJECT(h->element), "name", "lumosrc0");
    gchar** pairs = g_strsplit(properties.c_str(), " ", -1);
    for (gchar** p = pairs; *p; ++p) {
      gchar** kv = g_strsplit(*p, "=", 2);
      if (kv[0] && kv[1]) gst_util_set_object_arg(G_OBJECT(h->element), kv[0], kv[1]);
      g_strfreev(kv);
    }
    g_strfreev(pairs);
    gst_harness_use_systemclock(h);
    gst_harness_play(h);
  }

  Buffer Pull() { return Buffer(gst_harness_pull(h)); }

  // The next message of `types`, or null after `ms`; unrefs it into *name.
  GstMessageType NextMessage(int types, int ms, std::string* name = nullptr,
                             std::string* serial = nullptr) {
    GstMessage* m = gst_bus_timed_pop_filtered(bus, static_cast<GstClockTime>(ms) * GST_MSECOND,
                                               static_cast<GstMessageType>(types));
    if (!m) return GST_MESSAGE_UNKNOWN;
    const GstMessageType type = GST_MESSAGE_TYPE(m);
    const GstStructure* s = gst_message_get_structure(m);
    if (name && s && type == GST_MESSAGE_ELEMENT) *name = gst_structure_get_name(s);
    if (serial && s && gst_structure_has_field(s, "serial"))
      *serial = gst_structure_get_string(s, "serial");
    gst_message_unref(m);
    return type;
  }

  guint64 Stat(const char* field) {
    GstStructure* stats = nullptr;
    g_object_get(h->element, "stats", &stats, nullptr);
    guint64 value = 0;
    EXPECT_TRUE(gst_structure_get_uint64(stats, field, &value)) << field;
    gst_structure_free(stats);
    return value;
  }

  void DrainQueued() {
    while (GstBuffer* b = gst_harness_try_pull(h)) gst_buffer_unref(b);
  }

  std::unique_ptr<EmulatedDevice> camera;
  GstHarness* h = nullptr;
  GstBus* bus = nullptr;
};

void ExpectCaps(GstHarness* h, const char* format, int width, int height, int fpsN) {
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  ASSERT_NE(caps, nullptr);
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  int w = 0, ht = 0, n = -1, d = 0;
  EXPECT_STREQ(gst_structure_get_string(s, "format"), format);
  EXPECT_TRUE(gst_structure_get_int(s, "width", &w) && gst_structure_get_int(s, "height", &ht));
  EXPECT_TRUE(gst_structure_get_fraction(s, "framerate", &n, &d));
  EXPECT_EQ(w, width);
  EXPECT_EQ(ht, height);
  EXPECT_EQ(n, fpsN);
  gst_caps_unref(caps);
}

TEST_F(LumoSrc, DefaultCapsAreGray16OfTheWholeFrameAndBytesMatchTheCamera) {
  Start("emulate=1");
  Buffer b = Pull();
  ExpectCaps(h, "GRAY16_LE", 1024, 768, 0);
  EXPECT_EQ(gst_buffer_get_size(b.get()), 1024u * 768u * 2u);
  EXPECT_EQ(FirstWrongByte(b.get()), -1);
}

TEST_F(LumoSrc, PixelSizeOneGivesGray8AndDownstreamFramerateIsKept) {
  Start("emulate=1 emulate-pixel-size=1 emulate-width=640 emulate-height=480");
  gst_harness_set_sink_caps_str(h, "video/x-raw, framerate=(fraction)30/1");
  Buffer b = Pull();
  ExpectCaps(h, "GRAY8", 640, 480, 30);
  EXPECT_EQ(gst_buffer_get_size(b.get()), 640u * 480u);
  EXPECT_EQ(FirstWrongByte(b.get()), -1);
}

TEST_F(LumoSrc, LinePacketFramesCarryTheLineWords) {
  Start("emulate=1 emulate-mode=line-packet");
  Buffer b = Pull();
  ExpectCaps(h, "GRAY8", 1000, 1000, 0);
  const guint32 frame = FrameNumber(b.get());
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(b.get(), &map, GST_MAP_READ));
  int wrong = 0;
  for (guint32 line = 0; line < 1000; ++line)
    for (guint32 word = 0; word < 500; ++word) {
      const guint16 w = lumo::emulator::LineWord(frame, line, word);
      wrong += map.data[line * 1000 + 2 * word] != (w & 0xFF);
      wrong += map.data[line * 1000 + 2 * word + 1] != (w >> 8);
    }
  gst_buffer_unmap(b.get(), &map);
  EXPECT_EQ(wrong, 0);
}

// PTS follows the host timestamps on the pipeline clock; OFFSET counts the
// library's sequence, the camera's frame number follows it.
TEST_F(LumoSrc, TimestampsOffsetsMetasAndLatency) {
  Start("emulate=1 emulate-rate=50000000");
  std::vector<Buffer> got;
  for (int i = 0; i < 30; ++i) got.push_back(Pull());
  const auto now = static_cast<gint64>(gst_clock_get_time(GST_ELEMENT_CLOCK(h->element)));
  const auto pts0 = static_cast<gint64>(GST_BUFFER_PTS(got[0].get()));
  const auto host0 = static_cast<gint64>(MetaValue(got[0].get(), "timestamp/x-lumo-host"));
  EXPECT_LE(GST_BUFFER_PTS(got.back().get()), static_cast<GstClockTime>(now));
  EXPECT_GT(pts0, now - 2 * static_cast<gint64>(GST_SECOND));
  for (std::size_t i = 1; i < got.size(); ++i) {
    GstBuffer* prev = got[i - 1].get();
    GstBuffer* b = got[i].get();
    EXPECT_GT(GST_BUFFER_PTS(b), GST_BUFFER_PTS(prev));
    EXPECT_EQ(GST_BUFFER_OFFSET_END(b), GST_BUFFER_OFFSET(b) + 1);
    EXPECT_EQ(GST_BUFFER_OFFSET(b) - GST_BUFFER_OFFSET(prev), FrameNumber(b) - FrameNumber(prev));
    const bool gap = GST_BUFFER_OFFSET(b) != GST_BUFFER_OFFSET_END(prev);
    EXPECT_EQ(gap, GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DISCONT)) << i;
    // The PTS is the host timestamp shifted by the clock offset.
    const gint64 shift = (static_cast<gint64>(GST_BUFFER_PTS(b)) - pts0) -
                         (static_cast<gint64>(MetaValue(b, "timestamp/x-lumo-host")) - host0);
    EXPECT_LT(std::llabs(shift), 2000000) << i;
  }
  EXPECT_TRUE(GST_BUFFER_DURATION_IS_VALID(got.back().get()));
  GstQuery* q = gst_query_new_latency();
  ASSERT_TRUE(gst_element_query(h->element, q));
  gboolean live = FALSE;
  GstClockTime min = 0, max = 0;
  gst_query_parse_latency(q, &live, &min, &max);
  gst_query_unref(q);
  EXPECT_TRUE(live);
  EXPECT_GT(min, 0u);
  EXPECT_EQ(max, min * 16);
}

TEST_F(LumoSrc, LostFrameMarksTheNextBufferDiscont) {
  Start(PlugCamera(50000000));
  Buffer first = Pull();
  DrainQueued();
  Buffer last = Pull();
  camera->Stream().InjectFault(StreamFault::Next(StreamFaultKind::kDropBlock));
  bool sawGap = false;
  for (int i = 0; i < 40 && !sawGap; ++i) {
    Buffer b = Pull();
    sawGap = GST_BUFFER_OFFSET(b.get()) > GST_BUFFER_OFFSET_END(last.get());
    EXPECT_EQ(sawGap, GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DISCONT));
    last = std::move(b);
  }
  EXPECT_TRUE(sawGap);
  EXPECT_GE(Stat("frames-incomplete"), 1u);
}

TEST_F(LumoSrc, UnplugAndReplugPostMessagesAndMarkDiscont) {
  Start(PlugCamera(50000000));
  Buffer b = Pull();
  ASSERT_TRUE(camera->Unplug());
  std::string name, serial;
  ASSERT_EQ(NextMessage(GST_MESSAGE_ELEMENT, 5000, &name, &serial), GST_MESSAGE_ELEMENT);
  EXPECT_EQ(name, "lumo-camera-removed");
  EXPECT_EQ(serial, "GSTTEST1");
  DrainQueued();
  ASSERT_TRUE(camera->Plug());
  Buffer back = Pull();
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(back.get(), GST_BUFFER_FLAG_DISCONT));
  EXPECT_EQ(FirstWrongByte(back.get()), -1);
  ASSERT_EQ(NextMessage(GST_MESSAGE_ELEMENT, 1000, &name, &serial), GST_MESSAGE_ELEMENT);
  EXPECT_EQ(name, "lumo-camera-returned");
  EXPECT_EQ(serial, "GSTTEST1");
  EXPECT_EQ(Stat("removals"), 1u);
  EXPECT_EQ(Stat("reattaches"), 1u);
}

TEST_F(LumoSrc, RemovalTimeoutPostsAnErrorAndIdlenessOnlyWarns) {
  Start(PlugCamera(50000000, 3) + " timeout=200 removal-timeout=1");
  for (int i = 0; i < 3; ++i) Pull();
  EXPECT_EQ(NextMessage(GST_MESSAGE_WARNING | GST_MESSAGE_ERROR, 3000), GST_MESSAGE_WARNING);
  EXPECT_EQ(NextMessage(GST_MESSAGE_ERROR, 500), GST_MESSAGE_UNKNOWN);
  const auto unplugged = std::chrono::steady_clock::now();
  ASSERT_TRUE(camera->Unplug());
  EXPECT_EQ(NextMessage(GST_MESSAGE_ERROR, 4000), GST_MESSAGE_ERROR);
  EXPECT_GE(std::chrono::steady_clock::now() - unplugged, std::chrono::milliseconds(900));
}

// 100 buffers held downstream while the stream runs on keep every byte; a
// run of 6 buffers lends 4 and copies the rest.
TEST_F(LumoSrc, HeldBuffersKeepTheirBytesAndCopiesServeBeyondTheLeases) {
  for (int buffers : {128, 6}) {
    Start("emulate=1 buffers=" + std::to_string(buffers));
    std::vector<Buffer> held;
    for (int i = 0; i < 100; ++i) held.push_back(Pull());
    for (int i = 0; i < 50; ++i) Pull();
    for (std::size_t i = 0; i < held.size(); ++i) {
      ASSERT_EQ(FirstWrongByte(held[i].get()), -1)
          << "held buffer " << i << " of camera frame " << FrameNumber(held[i].get())
          << ", sequence " << GST_BUFFER_OFFSET(held[i].get()) << ", buffers=" << buffers;
    }
    if (buffers == 6) {
      EXPECT_GE(Stat("copies"), 96u);
    }
    EXPECT_GE(Stat("buffers-pushed"), 150u);
    // Freed buffers give their frames back: lending resumes.
    held.clear();
    DrainQueued();
    const guint64 copies = Stat("copies");
    for (int i = 0; i < 50; ++i) Pull();
    EXPECT_LT(Stat("copies") - copies, 50u);
    gst_harness_teardown(h);
    h = nullptr;
  }
}

// Buffers outlive the element: they keep their bytes, and freeing them
// afterwards gives their frames back (ASan would see a leak or a use after
// free otherwise).
TEST_F(LumoSrc, BuffersHeldThroughNullAndFinalizeStayValid) {
  Start("emulate=1 buffers=32");
  std::vector<Buffer> held;
  for (int i = 0; i < 20; ++i) held.push_back(Pull());
  gst_harness_teardown(h);
  h = nullptr;
  for (auto& b : held) EXPECT_EQ(FirstWrongByte(b.get()), -1);
  held.clear();
  Start("emulate=1");  // a new element streams again in the same process
  EXPECT_EQ(FirstWrongByte(Pull().get()), -1);
}

}  // namespace
