#include "DeviceText.h"

#include <cstdio>

namespace lumo::tool {

std::string SpeedText(std::uint8_t speed) {
  switch (speed) {
    case LUMO_SPEED_LOW:
      return "low speed (1.5 Mbit/s)";
    case LUMO_SPEED_FULL:
      return "full speed (12 Mbit/s)";
    case LUMO_SPEED_HIGH:
      return "high speed (480 Mbit/s)";
    case LUMO_SPEED_SUPER:
      return "SuperSpeed (5 Gbit/s)";
    default:
      return "unknown";
  }
}

std::string BcdText(std::uint16_t bcd) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x.%02x", bcd >> 8, bcd & 0xFF);
  return text;
}

std::string EndpointText(const LumoEndpointDescription& endpoint) {
  static const char* const kTypes[] = {"control", "isochronous", "bulk", "interrupt"};
  char text[160];
  int length = std::snprintf(
      text, sizeof(text), "%s %s 0x%02X, %u bytes", kTypes[endpoint.attributes & 3],
      (endpoint.address & 0x80) ? "IN" : "OUT", endpoint.address, endpoint.maxPacketSize & 0x7FFu);
  if (endpoint.maxBurst > 0 && length > 0 && length < static_cast<int>(sizeof(text)))
    length += std::snprintf(text + length, sizeof(text) - static_cast<std::size_t>(length),
                            ", bursts of %u", endpoint.maxBurst + 1u);
  if ((endpoint.attributes & 3) != 2 && length > 0 && length < static_cast<int>(sizeof(text)))
    std::snprintf(text + length, sizeof(text) - static_cast<std::size_t>(length), ", interval %u",
                  endpoint.interval);
  return text;
}

std::string SerialFromPath(const std::string& path) {
  // The third '#'-separated part.
  const std::size_t first = path.find('#');
  if (first == std::string::npos) return std::string();
  const std::size_t second = path.find('#', first + 1);
  if (second == std::string::npos) return std::string();
  const std::size_t third = path.find('#', second + 1);
  return path.substr(second + 1,
                     third == std::string::npos ? std::string::npos : third - second - 1);
}

}  // namespace lumo::tool
