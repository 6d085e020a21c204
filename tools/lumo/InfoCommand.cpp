// lumo info: what one camera's USB device reported when it was opened: the
// device descriptor, its strings, the current configuration and interface
// with their endpoints, the BOS capabilities and the kernel driver's values
// and texts, then the library's settings for the camera.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "DeviceText.h"
#include "ExitCodes.h"
#include "Session.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo info [global options]\n\n"
    "Describes the camera chosen with --camera (the first without it): device\n"
    "descriptor, strings, configuration, interface and endpoints, BOS capabilities,\n"
    "the kernel driver's values and texts, and the library's settings.\n";

void Field(const char* name, const std::string& value) {
  std::printf("  %-22s %s\n", name, value.c_str());
}

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
  return text;
}

std::string Quoted(const char* text) { return std::string("\"") + text + "\""; }

// Driver versions packed one byte per part: 0x01050000 is 1.5.0.0.
std::string PackedVersion(std::uint32_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF,
                (value >> 8) & 0xFF, value & 0xFF);
  return text;
}

void PrintDescription(const LumoDeviceDescription& d) {
  std::printf("device\n");
  Field("USB", BcdText(d.bcdUSB) + ", " + SpeedText(d.speed));
  Field("vendor / product", Hex(d.vendorId, 4) + " / " + Hex(d.productId, 4));
  Field("device release", BcdText(d.bcdDevice));
  Field("class", Hex(d.deviceClass, 2) + " / " + Hex(d.deviceSubClass, 2) + " / " +
                     Hex(d.deviceProtocol, 2) + " (class / subclass / protocol)");
  Field("endpoint zero", std::to_string(d.ep0PacketSize) + " bytes");
  Field("manufacturer", Quoted(d.manufacturer));
  Field("product", Quoted(d.product));
  Field("serial number", Quoted(d.serialNumber));
  Field("device path", d.devicePath);

  std::printf("configuration\n");
  Field("configurations", std::to_string(d.configurationCount));
  const unsigned milliampsPerUnit = d.speed == LUMO_SPEED_SUPER ? 8 : 2;
  Field("current", std::to_string(d.configurationValue) + ", attributes " +
                       Hex(d.configurationAttributes, 2) +
                       ((d.configurationAttributes & 0x40) ? " (self-powered)" : "") +
                       ", max power " + std::to_string(d.maxPower * milliampsPerUnit) + " mA");
  Field("interface", std::to_string(d.interfaceNumber) + ", alternate setting " +
                         std::to_string(d.alternateSetting) + ", class " +
                         Hex(d.interfaceClass, 2) + " / " + Hex(d.interfaceSubClass, 2) + " / " +
                         Hex(d.interfaceProtocol, 2));
  if (d.endpointCount == 0) Field("endpoints", "none");
  for (unsigned i = 0; i < d.endpointCount; ++i)
    Field(i == 0 ? "endpoints" : "", EndpointText(d.endpoints[i]));

  std::printf("BOS capabilities\n");
  if (d.bosCapabilities == 0) Field("", "none");
  if (d.bosCapabilities & LUMO_BOS_USB2_EXTENSION)
    Field("USB 2.0 extension", "attributes " + Hex(d.usb2ExtensionAttributes, 8) +
                                   ((d.usb2ExtensionAttributes & 2) ? " (LPM)" : ""));
  if (d.bosCapabilities & LUMO_BOS_SUPERSPEED)
    Field("SuperSpeed", "speeds " + Hex(d.superSpeedSpeeds, 4) + ", attributes " +
                            Hex(d.superSpeedAttributes, 2) + ", full function from " +
                            std::to_string(d.superSpeedFunctionality) +
                            " (0 low, 1 full, 2 high, 3 super)");
  if (d.bosCapabilities & LUMO_BOS_CONTAINER_ID) {
    char id[40];
    const std::uint8_t* c = d.containerId;
    std::snprintf(id, sizeof(id),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", c[3],
                  c[2], c[1], c[0], c[5], c[4], c[7], c[6], c[8], c[9], c[10], c[11], c[12], c[13],
                  c[14], c[15]);
    Field("container ID", id);
  }

  std::printf("driver\n");
  Field("value A", Hex(d.driverValueA, 8) + " (" + PackedVersion(d.driverValueA) + ")");
  Field("value B", Hex(d.driverValueB, 8));
  Field("byte", Hex(d.driverByte, 2));
  Field("text A", Quoted(d.driverTextA));
  Field("text B", Quoted(d.driverTextB));
  Field("device state", d.deviceState ? std::to_string(d.deviceState) : "other than 2 or 4");
}

}  // namespace

int InfoCommand(int argc, char** argv, GlobalOptions& globals) {
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "info", CommandOptions{}, globals, nullptr, &arguments))
    return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }
  if (!arguments.empty()) return UsageError("info", "takes no arguments");

  Session session(globals, "info");
  if (const int started = session.Start()) return started;
  void* camera = nullptr;
  CameraEntry entry;
  if (const int opened = session.OpenChosen(&camera, &entry)) return opened;
  LumoDeviceDescription description{};
  if (!session.Manager().DescribeDevice(camera, &description))
    return session.Failure(camera, "the camera's description could not be read");
  std::printf("camera %d\n", entry.index);
  PrintDescription(description);
  std::printf("library settings\n");
  Field("frame buffers", std::to_string(session.Manager().GetBufferCount(camera)));
  Field("transfer size", std::to_string(session.Manager().GetTransferSize(camera)) + " bytes");
  return kExitOk;
}

}  // namespace lumo::tool
