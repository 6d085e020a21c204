// Where a frame's pixels are and how wide each is, read from the header of
// the frame record CameraGetImage hands out.
//
// The header's `depth` means different things in the two stream modes: a
// raw frame carries the host's pixel-size setting, in bytes per pixel; a
// line-packet frame carries the camera's bits per pixel (8), of which 1 to 8
// take one byte and more take two. The mode shows in where the image lies
// in the record: 1 MiB + 148 bytes in for raw frames, right behind the
// 10000-byte info area for line-packet frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumo::tool {

struct FrameLayout {
  bool linePacket = false;
  std::uint32_t number = 0;
  std::uint32_t width = 0;   // pixels
  std::uint32_t height = 0;  // lines
  std::uint32_t bytesPerPixel = 0;
  std::uint32_t bitsPerPixel = 0;
  const std::uint8_t* pixels = nullptr;  // width * height * bytesPerPixel bytes
  std::size_t imageBytes = 0;
};

// Reads the layout of the frame record at `record`. False, with the reason,
// for a header that describes no image that fits in the record.
bool ReadFrameLayout(const void* record, FrameLayout* layout, std::string* problem);

}  // namespace lumo::tool
