// Checks PNG files written from lumosrc's emulated frames: each must be a
// 1024 x 768 16-bit grey image whose bytes (little-endian, as the camera
// sent them) are some frame's raw pattern, the frames in increasing order.
// Usage: lumo_png_frames_check FILE...
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "lumo/emulator/CameraStream.h"

namespace {

bool Decode(const char* path, std::vector<std::uint8_t>* bytes, png_uint_32* w, png_uint_32* h) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool done = false;
  if (info && !setjmp(png_jmpbuf(png))) {
    png_init_io(png, file);
    // Rows as the camera sent them: 16-bit samples little-endian.
    png_read_png(png, info, PNG_TRANSFORM_SWAP_ENDIAN, nullptr);
    *w = png_get_image_width(png, info);
    *h = png_get_image_height(png, info);
    const bool grey16 =
        png_get_bit_depth(png, info) == 16 && png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY;
    png_bytepp rows = png_get_rows(png, info);
    const std::size_t rowBytes = static_cast<std::size_t>(*w) * 2;
    for (png_uint_32 y = 0; grey16 && y < *h; ++y)
      bytes->insert(bytes->end(), rows[y], rows[y] + rowBytes);
    done = grey16;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return done;
}

// The frame number whose pattern `bytes` is, or -1.
long long MatchFrame(const std::vector<std::uint8_t>& bytes, std::uint32_t from) {
  for (std::uint32_t n = from; n < from + 100000; ++n) {
    bool same = true;
    for (std::size_t i = 0; i < bytes.size() && same; ++i)
      same = bytes[i] == lumo::emulator::RawImageByte(n, static_cast<std::uint32_t>(i));
    if (same) return n;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t next = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::uint8_t> bytes;
    png_uint_32 w = 0, h = 0;
    if (!Decode(argv[i], &bytes, &w, &h) || w != 1024 || h != 768) {
      std::fprintf(stderr, "%s: not a 1024x768 16-bit grey PNG\n", argv[i]);
      return 1;
    }
    const long long frame = MatchFrame(bytes, next);
    if (frame < 0) {
      std::fprintf(stderr, "%s: not the pattern of any frame from %u on\n", argv[i], next);
      return 1;
    }
    std::printf("%s: frame %lld\n", argv[i], frame);
    next = static_cast<std::uint32_t>(frame) + 1;
  }
  return argc > 1 ? 0 : 1;
}
