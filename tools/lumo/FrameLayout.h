// Where a lent frame's pixels are and how wide each is.
//
// The library describes each frame it lends (lumo/Frame.h): where its image
// starts, how many bytes it has, its size and its stream mode. The depth a
// line-packet frame's header carries is the camera's bits per pixel, of
// which 1 to 8 take one byte and more take two; raw frames have the host's
// pixel-size setting in bytes per pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lumo/Frame.h"

namespace lumo::tool {

struct FrameLayout {
  bool linePacket = false;
  std::uint32_t number = 0;  // the camera's frame number
  std::uint32_t width = 0;   // pixels
  std::uint32_t height = 0;  // lines
  std::uint32_t bytesPerPixel = 0;
  std::uint32_t bitsPerPixel = 0;
  const std::uint8_t* pixels = nullptr;  // width * height * bytesPerPixel bytes
  std::size_t imageBytes = 0;
};

// The layout of a lent frame. False, with the reason, for a frame without
// pixels or whose image is shorter than its pixels.
bool LayoutOfFrame(const LumoFrame& frame, FrameLayout* layout, std::string* problem);

}  // namespace lumo::tool
