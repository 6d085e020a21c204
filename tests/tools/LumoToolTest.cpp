// The lumo tool run as a program on emulated cameras: exit codes, what it
// prints, and the images it saves, decoded and compared pixel by pixel with
// the emulated camera's test pattern.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#ifdef LUMO_TOOL_PNG
#include <png.h>
#endif

#include "lumo/emulator/CameraStream.h"
#include "lumo/emulator/EmulatedDevice.h"

namespace {

namespace fs = std::filesystem;
using lumo::emulator::LineWord;
using lumo::emulator::RawImageByte;

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class LumoTool : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("lumo_tool_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs lumo with `arguments` (shell words), stdout and stderr apart;
  // `runner` (shell words) runs it, if given.
  Result Lumo(const std::string& arguments, const std::string& runner = "") {
    const fs::path err = dir_ / "stderr.txt";
    const std::string command = runner + " " + std::string(LUMO_TOOL_PATH) + " " + arguments +
                                " 2>" + err.string() + " </dev/null";
    Result result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFile(err);
    return result;
  }

  fs::path dir_;
};

// The frame numbers of the files dir/<prefix><number><extension>.
std::vector<std::uint32_t> FrameFiles(const fs::path& dir, const std::string& prefix,
                                      const std::string& extension) {
  std::vector<std::uint32_t> numbers;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    std::smatch match;
    if (std::regex_match(name, match, std::regex(prefix + "([0-9]+)\\" + extension)))
      numbers.push_back(static_cast<std::uint32_t>(std::stoul(match[1])));
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// "frame 5: 1024 x 768, raw, 2 bytes per pixel" -> width, height.
void FirstFrameSize(const std::string& out, std::uint32_t* width, std::uint32_t* height) {
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, std::regex("frame [0-9]+: ([0-9]+) x ([0-9]+), ")))
      << out;
  *width = static_cast<std::uint32_t>(std::stoul(match[1]));
  *height = static_cast<std::uint32_t>(std::stoul(match[2]));
}

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 0;
  std::vector<std::uint8_t> samples;  // as stored: 16-bit samples big-endian
};

// A binary PGM, header and samples.
Image ReadPgm(const fs::path& path) {
  Image image;
  const std::string data = ReadFile(path);
  std::smatch match;
  if (!std::regex_search(data, match, std::regex("^P5\n([0-9]+) ([0-9]+)\n([0-9]+)\n")))
    return image;
  image.width = static_cast<std::uint32_t>(std::stoul(match[1]));
  image.height = static_cast<std::uint32_t>(std::stoul(match[2]));
  image.bitDepth = std::stoul(match[3]) > 255 ? 16 : 8;
  image.samples.assign(data.begin() + match.length(0), data.end());
  return image;
}

#ifdef LUMO_TOOL_PNG
// Decodes a PNG with libpng: IHDR values and the rows as stored. The file
// is opened and closed outside, away from setjmp.
Image DecodePng(std::FILE* file) {
  Image image;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return Image{};
  }
  png_init_io(png, file);
  png_read_info(png, info);
  image.width = png_get_image_width(png, info);
  image.height = png_get_image_height(png, info);
  image.bitDepth = png_get_bit_depth(png, info);
  EXPECT_EQ(png_get_color_type(png, info), PNG_COLOR_TYPE_GRAY);
  const std::size_t stride = png_get_rowbytes(png, info);
  image.samples.resize(stride * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y)
    png_read_row(png, image.samples.data() + y * stride, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

Image ReadPng(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return Image{};
  Image image = DecodePng(file);
  std::fclose(file);
  return image;
}
#endif

// Counts samples that differ from raw frame `frame`'s pattern: 1 byte per
// pixel as is, 2 bytes little-endian in the frame and big-endian stored.
std::size_t RawMismatches(const Image& image, std::uint32_t frame) {
  std::size_t wrong = 0;
  const std::size_t bytes = std::size_t{image.width} * image.height * (image.bitDepth / 8);
  if (image.samples.size() != bytes) return bytes + 1;
  for (std::size_t i = 0; i < bytes; ++i) {
    const std::size_t source = image.bitDepth == 16 ? (i ^ 1) : i;
    wrong += image.samples[i] != RawImageByte(frame, static_cast<std::uint32_t>(source));
  }
  return wrong;
}

// The grab's summary: "N frames in T s: ..., lost L, errors E; saved S as
// ...", then "frame interval M ms mean, D ms standard deviation, X ms
// largest deviation (C intervals); sequence gaps G, frames missing F".
struct GrabSummary {
  bool found = false;
  double seconds = 0;
  unsigned long long lost = 0, errors = 0, saved = 0;
  double meanMs = 0, deviationMs = 0, largestMs = 0;
  unsigned long long intervals = 0, gaps = 0, missing = 0;
};

// Only the tests that save PNG files read it: unused in builds without libpng.
[[maybe_unused]] GrabSummary ReadGrabSummary(const std::string& out) {
  GrabSummary summary;
  std::smatch first, second;
  if (!std::regex_search(out, first,
                         std::regex("\n[0-9]+ frames in ([0-9.]+) s: .*, lost ([0-9]+), errors "
                                    "([0-9]+); saved ([0-9]+) as ")) ||
      !std::regex_search(out, second,
                         std::regex("\nframe interval ([0-9.]+) ms mean, ([0-9.]+) ms standard "
                                    "deviation, ([0-9.]+) ms largest deviation \\(([0-9]+) "
                                    "intervals\\); sequence gaps ([0-9]+), frames missing "
                                    "([0-9]+)\n")))
    return summary;
  summary.found = true;
  summary.seconds = std::stod(first[1]);
  summary.lost = std::stoull(first[2]);
  summary.errors = std::stoull(first[3]);
  summary.saved = std::stoull(first[4]);
  summary.meanMs = std::stod(second[1]);
  summary.deviationMs = std::stod(second[2]);
  summary.largestMs = std::stod(second[3]);
  summary.intervals = std::stoull(second[4]);
  summary.gaps = std::stoull(second[5]);
  summary.missing = std::stoull(second[6]);
  return summary;
}

TEST_F(LumoTool, ListsAndDescribesTheEmulatedCameras) {
  const Result list = Lumo("--emulate=3 list");
  EXPECT_EQ(list.code, 0) << list.err;
  for (const char* serial : {"LUMO0001", "LUMO0002", "LUMO0003"})
    EXPECT_TRUE(std::regex_search(
        list.out, std::regex(std::string("\n[0-9]+ +") + serial + " +SuperSpeed .* 04b4:00f1 ")))
        << list.out;

  // --camera picks by the index `list` shows, after the command as well.
  std::smatch row;
  ASSERT_TRUE(std::regex_search(list.out, row, std::regex("\n([0-9]+) +LUMO0002 ")));
  const Result info = Lumo("--emulate=3 info --camera " + row[1].str());
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("\"LUMO0002\""), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("bulk IN 0x81, 1024 bytes, bursts of 16"), std::string::npos);
  EXPECT_NE(info.out.find(std::string("\"") + lumo::emulator::kDriverTextA + "\""),
            std::string::npos);
  EXPECT_NE(info.out.find("container ID"), std::string::npos);

  const Result none = Lumo("--emulate=0 list");
  EXPECT_EQ(none.code, 3);
  EXPECT_NE(none.err.find("no camera found"), std::string::npos) << none.err;
  const Result wrongIndex = Lumo("--emulate --camera 9 info");
  EXPECT_EQ(wrongIndex.code, 3);
  EXPECT_NE(wrongIndex.err.find("no camera has index 9"), std::string::npos) << wrongIndex.err;
}

TEST_F(LumoTool, WritesAndReadsRegistersAndEchoesBufferBytes) {
  const Result write = Lumo("--emulate reg write 0x20 12:34 5678");
  EXPECT_EQ(write.code, 0) << write.err;
  EXPECT_NE(write.out.find("0x0020 <- 12 34 56 78"), std::string::npos) << write.out;
  const Result read = Lumo("--emulate reg read 0x20 4");
  EXPECT_EQ(read.code, 0) << read.err;
  EXPECT_TRUE(std::regex_search(read.out, std::regex("^0x0020: [0-9A-F]{2}( [0-9A-F]{2}){3}\n")))
      << read.out;

  const Result send = Lumo("--emulate send --reply 01 02 0xFE");
  EXPECT_EQ(send.code, 0) << send.err;
  EXPECT_NE(send.out.find("received 3 bytes: 01 02 FE"), std::string::npos) << send.out;
  // Nothing was sent in this process: the wait ends with the reason.
  const Result recv = Lumo("--emulate --timeout 200 recv");
  EXPECT_EQ(recv.code, 1);
  EXPECT_NE(recv.err.find("no bytes within 200 ms: "), std::string::npos) << recv.err;
}

#ifdef LUMO_TOOL_PNG
TEST_F(LumoTool, GrabsRawFramesIntoSixteenBitPngs) {
  const Result grab = Lumo("--emulate -q grab -n 3 -o " + (dir_ / "f#.png").string());
  ASSERT_EQ(grab.code, 0) << grab.err;
  EXPECT_NE(grab.out.find("raw, 2 bytes per pixel"), std::string::npos) << grab.out;
  EXPECT_TRUE(std::regex_search(grab.out, std::regex("\n3 frames in .* fps, .* MB/s, lost [0-9]+, "
                                                     "errors 0; saved 3 as ")))
      << grab.out;
  EXPECT_EQ(grab.err, "");  // --quiet: no library messages
  std::uint32_t width = 0, height = 0;
  FirstFrameSize(grab.out, &width, &height);
  const std::vector<std::uint32_t> frames = FrameFiles(dir_, "f", ".png");
  ASSERT_EQ(frames.size(), 3u);
  for (const std::uint32_t frame : frames) {
    const Image image = ReadPng(dir_ / ("f" + std::to_string(frame) + ".png"));
    EXPECT_EQ(image.width, width);
    EXPECT_EQ(image.height, height);
    EXPECT_EQ(image.bitDepth, 16);
    EXPECT_EQ(RawMismatches(image, frame), 0u) << "frame " << frame;
  }
}

TEST_F(LumoTool, GrabsLinePacketFramesAsOneBytePerPixel) {
  const Result grab = Lumo("--emulate -q grab --mode line -n 2 -o " + (dir_ / "l#.png").string());
  ASSERT_EQ(grab.code, 0) << grab.err;
  EXPECT_NE(grab.out.find("line-packet, 8 bits per pixel"), std::string::npos) << grab.out;
  const std::vector<std::uint32_t> frames = FrameFiles(dir_, "l", ".png");
  ASSERT_EQ(frames.size(), 2u);
  for (const std::uint32_t frame : frames) {
    const Image image = ReadPng(dir_ / ("l" + std::to_string(frame) + ".png"));
    ASSERT_EQ(image.width, lumo::emulator::kLineWidth);
    ASSERT_EQ(image.height, lumo::emulator::kLinesPerFrame);
    ASSERT_EQ(image.bitDepth, 8);
    std::size_t wrong = 0;
    for (std::uint32_t y = 0; y < image.height; ++y)
      for (std::uint32_t x = 0; x < image.width; ++x) {
        const std::uint16_t word = LineWord(frame, y, x / 2);
        wrong += image.samples[std::size_t{y} * image.width + x] !=
                 static_cast<std::uint8_t>(x % 2 ? word >> 8 : word);
      }
    EXPECT_EQ(wrong, 0u) << "frame " << frame;
  }
}

// The writer compresses a PNG in far more time than the camera takes to
// send a frame. With a buffer for every frame no frame is lost however far
// it falls behind, and the frames' bytes stay put while they wait.
TEST_F(LumoTool, SavesEveryLentFrameWhileTheWriterLags) {
  const Result grab = Lumo("--emulate -q grab -n 30 --buffers 31 -o " + (dir_ / "s#.png").string());
  ASSERT_EQ(grab.code, 0) << grab.err;
  const GrabSummary summary = ReadGrabSummary(grab.out);
  ASSERT_TRUE(summary.found) << grab.out;
  EXPECT_EQ(summary.saved, 30u);
  const std::vector<std::uint32_t> frames = FrameFiles(dir_, "s", ".png");
  ASSERT_EQ(frames.size(), 30u);
  for (const std::uint32_t frame : frames)
    EXPECT_EQ(RawMismatches(ReadPng(dir_ / ("s" + std::to_string(frame) + ".png")), frame), 0u)
        << "frame " << frame;
  // The emulated camera numbers its frames from 1, one by one: the numbers
  // the files skip are the frames missing.
  EXPECT_EQ(summary.missing, (frames.back() - frames.front() + 1 - 30) + (frames.front() - 1))
      << grab.out;
  // Only a failed transfer (counted as an error) loses one of the 30 frames
  // here. The library's lost count may still grow once the thirtieth frame
  // was taken: the camera streams on until acquisition stops, with every
  // spare buffer lent to the writer.
  if (summary.errors == 0) {
    EXPECT_EQ(summary.gaps, 0u) << grab.out;
    EXPECT_EQ(summary.intervals, 29u);
  }
  // The camera sends at most 400 MB/s: a 1024 x 768 x 2 frame and its
  // header block take 3.94 ms. The intervals lie within the grab.
  EXPECT_GE(summary.meanMs, 3.5) << grab.out;
  EXPECT_LE(summary.meanMs * summary.intervals, summary.seconds * 1000 + 10) << grab.out;
  EXPECT_LE(summary.deviationMs, summary.largestMs + 0.001) << grab.out;
}

// With three buffers only two frames can wait for the writer: the grab waits
// for it, frames are lost meanwhile, and the tool says so and what helps.
TEST_F(LumoTool, ReportsTheFramesLostWhileEveryBufferWaitsForTheWriter) {
#if defined(__SANITIZE_THREAD__)
  // The premise is a camera faster than the writer. Under ThreadSanitizer
  // the tool's own threads (the emulated camera's included) run many times
  // slower while zlib does not, and the writer may keep up.
  GTEST_SKIP() << "the writer may keep up with a camera slowed by ThreadSanitizer";
#endif
  const Result grab = Lumo("--emulate -q grab -n 12 --buffers 3 -o " + (dir_ / "w#.png").string());
  ASSERT_EQ(grab.code, 0) << grab.err;
  const GrabSummary summary = ReadGrabSummary(grab.out);
  ASSERT_TRUE(summary.found) << grab.out;
  EXPECT_EQ(summary.saved, 12u);
  EXPECT_GT(summary.gaps, 0u) << grab.out;
  EXPECT_GT(summary.missing, 0u);
  EXPECT_LE(summary.missing, summary.lost) << grab.out;  // the library counted each of them
  EXPECT_NE(grab.err.find("lumo grab: saving fell behind: "), std::string::npos) << grab.err;
  EXPECT_NE(grab.err.find("--buffers 13 keeps every frame"), std::string::npos) << grab.err;
  const std::vector<std::uint32_t> frames = FrameFiles(dir_, "w", ".png");
  ASSERT_EQ(frames.size(), 12u);
  for (const std::uint32_t frame : frames)
    EXPECT_EQ(RawMismatches(ReadPng(dir_ / ("w" + std::to_string(frame) + ".png")), frame), 0u)
        << "frame " << frame;
}

// Saving that cannot go on ends the grab, also while it waits for the
// writer to give a buffer back: a file that cannot be written (exit 5),
// Ctrl-C (exit 130, the frames saved so far counted truly).
TEST_F(LumoTool, StopsSavingOnAWriteFailureOrCtrlC) {
  const Result failed =
      Lumo("--emulate -q grab -n 50 --buffers 3 -o " + (dir_ / "absent" / "f#.png").string());
  EXPECT_EQ(failed.code, 5) << failed.out;
  EXPECT_NE(failed.err.find("f1.png: No such file or directory"), std::string::npos) << failed.err;
  EXPECT_NE(failed.out.find("; saved 0 as "), std::string::npos) << failed.out;

  // The camera needs 1.18 s for 300 frames: Ctrl-C after 1 s comes while
  // frames still arrive and the writer still saves, however fast it is.
  const Result interrupted =
      Lumo("--emulate -q grab -n 300 --buffers 101 -o " + (dir_ / "i#.png").string(),
           "timeout --preserve-status -s INT 1");
  EXPECT_EQ(interrupted.code, 130) << interrupted.out << interrupted.err;
  std::smatch saved;
  ASSERT_TRUE(std::regex_search(interrupted.out, saved,
                                std::regex("; saved ([0-9]+) as .*\\(interrupted\\)\n")))
      << interrupted.out;
  EXPECT_EQ(FrameFiles(dir_, "i", ".png").size(), std::stoul(saved[1]));
}
#endif

TEST_F(LumoTool, GrabsPgmFilesInEightAndSixteenBits) {
  const Result eight =
      Lumo("--emulate -q grab --pixel-size 1 -n 2 -o " + (dir_ / "a#.pgm").string());
  ASSERT_EQ(eight.code, 0) << eight.err;
  const Result sixteen = Lumo("--emulate -q grab -n 1 -o " + (dir_ / "b#.pgm").string());
  ASSERT_EQ(sixteen.code, 0) << sixteen.err;
  std::uint32_t width = 0, height = 0;
  FirstFrameSize(eight.out, &width, &height);
  for (const auto& [prefix, depth] : {std::pair<std::string, int>{"a", 8}, {"b", 16}}) {
    const std::vector<std::uint32_t> frames = FrameFiles(dir_, prefix, ".pgm");
    ASSERT_EQ(frames.size(), depth == 8 ? 2u : 1u);
    for (const std::uint32_t frame : frames) {
      const Image image = ReadPgm(dir_ / (prefix + std::to_string(frame) + ".pgm"));
      EXPECT_EQ(image.width, width);
      EXPECT_EQ(image.height, height);
      EXPECT_EQ(image.bitDepth, depth);
      EXPECT_EQ(RawMismatches(image, frame), 0u) << prefix << frame;
    }
  }
}

TEST_F(LumoTool, WatchShowsEmulatedCamerasLeavingAndArriving) {
  const Result watch = Lumo("--emulate watch --seconds 3");
  EXPECT_EQ(watch.code, 0) << watch.err;
  const std::string second = "\\\\?\\usb#vid_04b4&pid_00f1#lumo0002#";
  const std::size_t removed = watch.out.find("removed  " + second);
  const std::size_t arrived = watch.out.find("arrived  " + second);
  ASSERT_NE(removed, std::string::npos) << watch.out;
  ASSERT_NE(arrived, std::string::npos) << watch.out;
  EXPECT_LT(removed, arrived);
  EXPECT_NE(watch.out.find("arrived  \\\\?\\usb#vid_04b4&pid_00f1#lumo0003#"), std::string::npos);
  // The summary counts what was shown.
  const auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = watch.out.find(what); at != std::string::npos;
         at = watch.out.find(what, at + 1))
      ++n;
    return n;
  };
  EXPECT_NE(watch.out.find(std::to_string(count(" arrived  ")) + " arrival(s), " +
                           std::to_string(count(" removed  ")) + " removal(s)"),
            std::string::npos)
      << watch.out;
}

TEST_F(LumoTool, UsageErrorsExitTwoWithTheReason) {
  const struct {
    const char* arguments;
    const char* reason;
  } cases[] = {
      {"", "no command given"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"--emulate list --bogus", "unknown option --bogus"},
      {"--emulate=99 list", "--emulate=N wants 0 to 16 cameras"},
      {"--emulate grab -n 0", "-n wants 1 to"},
      {"--emulate grab -n 2 -o x.pgm", "needs a '#'"},
      {"--emulate grab -o x.bmp", "must end in .png or .pgm"},
      {"--emulate grab --mode fast", "--mode wants raw or line"},
      {"--emulate grab --buffers 1", "--buffers wants 2 to 1024"},
      {"--emulate reg read", "wants a register address"},
      {"--emulate reg peek 0x20", "wants read or write, not 'peek'"},
      {"--emulate reg write 0x20 xyz", "'xyz' is not hex bytes"},
      {"--emulate --camera", "--camera wants a value"},
  };
  for (const auto& c : cases) {
    const Result result = Lumo(c.arguments);
    EXPECT_EQ(result.code, 2) << c.arguments;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.arguments << ": " << result.err;
    EXPECT_EQ(result.out, "") << c.arguments;
  }

  const Result help = Lumo("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(std::regex_search(help.out, std::regex("Exit codes:\n  0 ")));
  for (const char* command : {"list", "info", "reg", "send", "recv", "grab", "watch"}) {
    const Result commandHelp = Lumo(std::string(command) + " --help");
    EXPECT_EQ(commandHelp.code, 0) << command;
    EXPECT_EQ(commandHelp.out.rfind(std::string("usage: lumo ") + command, 0), 0u)
        << commandHelp.out;
    EXPECT_NE(help.out.find(std::string("  ") + command + " "), std::string::npos) << command;
  }
}

}  // namespace
