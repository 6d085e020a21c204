// Saving frames as greyscale images: PNG (through libpng, when the tool was
// built with it) or binary PGM, chosen by the file name's extension.
#pragma once

#include <string>

#include "FrameLayout.h"

namespace lumo::tool {

enum class ImageFormat { kPng, kPgm };

// Whether this build writes PNG files.
bool PngSupported();
// The format a file name asks for (.png or .pgm, any case). False, with the
// reason, for other names and for PNG in a build without it.
bool FormatForName(const std::string& name, ImageFormat* format, std::string* problem);
// `pattern` with each '#' replaced by `number`.
std::string NameForFrame(const std::string& pattern, std::uint32_t number);

// How a frame is stored: 1 byte per pixel as 8-bit grey, 2 bytes as 16-bit
// grey (the frame's little-endian samples written in the big-endian order
// both formats want), any other size as 8-bit grey of width * bytesPerPixel
// samples per line, the bytes as they are.
struct ImageShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 8;
  bool rawBytes = false;  // the frame's bytes shown as 8-bit samples
};
ImageShape ShapeFor(const FrameLayout& frame);

// Writes the frame to `path`. False, with the reason, when it cannot.
bool WriteImage(const std::string& path, ImageFormat format, const FrameLayout& frame,
                std::string* problem);

}  // namespace lumo::tool
