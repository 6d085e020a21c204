#include "ImageFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef LUMO_TOOL_PNG
#include <png.h>
#endif

namespace lumo::tool {

namespace {

bool EndsWith(const std::string& name, const char* extension) {
  const std::size_t length = std::strlen(extension);
  if (name.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - length + i])) != extension[i])
      return false;
  return true;
}

std::string Errno(const std::string& path) { return path + ": " + std::strerror(errno); }

// PGM wants 16-bit samples most significant byte first.
bool WritePgm(const std::string& path, const FrameLayout& frame, const ImageShape& shape,
              std::string* problem) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *problem = Errno(path);
    return false;
  }
  std::fprintf(file, "P5\n%u %u\n%u\n", shape.width, shape.height,
               shape.bitDepth == 16 ? 65535u : 255u);
  bool written = true;
  if (shape.bitDepth == 16) {
    std::vector<std::uint8_t> line(std::size_t{shape.width} * 2);
    for (std::uint32_t y = 0; y < shape.height && written; ++y) {
      const std::uint8_t* source = frame.pixels + std::size_t{y} * line.size();
      for (std::size_t x = 0; x < line.size(); x += 2) {
        line[x] = source[x + 1];
        line[x + 1] = source[x];
      }
      written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    }
  } else {
    written = std::fwrite(frame.pixels, 1, frame.imageBytes, file) == frame.imageBytes;
  }
  if (!written) *problem = Errno(path);
  if (std::fclose(file) != 0 && written) {
    *problem = Errno(path);
    written = false;
  }
  return written;
}

#ifdef LUMO_TOOL_PNG
// libpng reports errors by longjmp; nothing with a destructor lives between
// setjmp and the calls that can fail.
bool WritePng(const std::string& path, const FrameLayout& frame, const ImageShape& shape,
              std::string* problem) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *problem = Errno(path);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, nullptr);
    std::fclose(file);
    *problem = path + ": libpng could not start";
    return false;
  }
  const std::size_t stride = std::size_t{shape.width} * (shape.bitDepth == 16 ? 2 : 1);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    *problem = path + ": libpng could not write the image";
    return false;
  }
  png_init_io(png, file);
  // Frames come fast: the quickest compression keeps up with them best.
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, shape.width, shape.height, shape.bitDepth, PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  // The frame's 16-bit samples are little-endian; PNG stores them big-endian.
  if (shape.bitDepth == 16) png_set_swap(png);
  for (std::uint32_t y = 0; y < shape.height; ++y)
    png_write_row(png, const_cast<png_bytep>(frame.pixels + std::size_t{y} * stride));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file) != 0) {
    *problem = Errno(path);
    return false;
  }
  return true;
}
#endif

}  // namespace

bool PngSupported() {
#ifdef LUMO_TOOL_PNG
  return true;
#else
  return false;
#endif
}

bool FormatForName(const std::string& name, ImageFormat* format, std::string* problem) {
  if (EndsWith(name, ".pgm")) {
    *format = ImageFormat::kPgm;
    return true;
  }
  if (EndsWith(name, ".png")) {
    if (!PngSupported()) {
      *problem = "this lumo was built without PNG support (libpng); save as .pgm instead";
      return false;
    }
    *format = ImageFormat::kPng;
    return true;
  }
  *problem = "'" + name + "': the output name must end in .png or .pgm";
  return false;
}

std::string NameForFrame(const std::string& pattern, std::uint32_t number) {
  std::string name;
  for (const char c : pattern) {
    if (c == '#')
      name += std::to_string(number);
    else
      name += c;
  }
  return name;
}

ImageShape ShapeFor(const FrameLayout& frame) {
  ImageShape shape;
  shape.height = frame.height;
  if (frame.bytesPerPixel == 1 || frame.bytesPerPixel == 2) {
    shape.width = frame.width;
    shape.bitDepth = frame.bytesPerPixel == 2 ? 16 : 8;
  } else {
    shape.width = frame.width * frame.bytesPerPixel;
    shape.rawBytes = true;
  }
  return shape;
}

bool WriteImage(const std::string& path, ImageFormat format, const FrameLayout& frame,
                std::string* problem) {
  const ImageShape shape = ShapeFor(frame);
#ifdef LUMO_TOOL_PNG
  if (format == ImageFormat::kPng) return WritePng(path, frame, shape, problem);
#endif
  if (format == ImageFormat::kPgm) return WritePgm(path, frame, shape, problem);
  *problem = "this lumo was built without PNG support";
  return false;
}

}  // namespace lumo::tool
