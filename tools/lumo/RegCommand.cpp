// lumo reg: register read and write over the camera's command channel.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "Session.h"

namespace lumo::tool {

namespace {

const char kUsage[] =
    "usage: lumo reg read ADDR [N]      read N bytes (default 4) of register ADDR\n"
    "       lumo reg write ADDR BYTES   write hex BYTES to register ADDR\n\n"
    "ADDR and N are decimal or 0x-prefixed hex. BYTES are hex, as separate\n"
    "arguments or joined: 12 34 56 78, 12345678, 12:34:56:78, 0x12,0x34.\n"
    "A write prints the camera's answer. Each call waits at most --timeout ms.\n";

constexpr long long kMaxRead = 1024;
constexpr std::size_t kMaxWrite = 250;  // what one command frame carries

std::string AddressText(long long address) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%04llX", address);
  return text;
}

}  // namespace

int RegCommand(int argc, char** argv, GlobalOptions& globals) {
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "reg", CommandOptions{}, globals, nullptr, &arguments))
    return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kUsage);
    return kExitOk;
  }
  if (arguments.empty()) return UsageError("reg", "wants read or write");
  const std::string& action = arguments[0];
  if (action != "read" && action != "write")
    return UsageError("reg", "wants read or write, not '" + action + "'");
  const bool write = action == "write";
  if (arguments.size() < 2) return UsageError("reg", "wants a register address");
  long long address = 0;
  if (!ParseNumber(arguments[1].c_str(), 0, INT64_MAX, &address))
    return UsageError("reg", "'" + arguments[1] + "' is not a register address");

  std::vector<std::uint8_t> bytes;
  if (write) {
    std::string problem;
    if (arguments.size() < 3) return UsageError("reg", "write wants the bytes to write");
    if (!ParseHexBytes(arguments, 2, &bytes, &problem)) return UsageError("reg", problem);
    if (bytes.size() > kMaxWrite)
      return UsageError("reg", "a write carries at most " + std::to_string(kMaxWrite) +
                                   " bytes, not " + std::to_string(bytes.size()));
  } else {
    long long count = 4;
    if (arguments.size() > 3) return UsageError("reg", "read takes ADDR and at most N");
    if (arguments.size() == 3 && !ParseNumber(arguments[2].c_str(), 1, kMaxRead, &count))
      return UsageError(
          "reg", "N must be 1 to " + std::to_string(kMaxRead) + ", not '" + arguments[2] + "'");
    bytes.assign(static_cast<std::size_t>(count), 0);
  }

  Session session(globals, "reg");
  if (const int started = session.Start()) return started;
  void* camera = nullptr;
  if (const int opened = session.OpenChosen(&camera, nullptr)) return opened;
  LumoUsbManager& manager = session.Manager();
  const int length = static_cast<int>(bytes.size());
  if (write) {
    const std::vector<std::uint8_t> written = bytes;
    if (!manager.SetupCommand(camera, address, bytes.data(), length, globals.timeoutMs))
      return session.Failure(camera, "register write " + AddressText(address) + " failed");
    std::printf("%s <- %s (answer %s)\n", AddressText(address).c_str(),
                HexText(written.data(), written.size()).c_str(),
                HexText(bytes.data(), bytes.size()).c_str());
  } else {
    if (!manager.ReadCommand(camera, address, bytes.data(), length, globals.timeoutMs))
      return session.Failure(camera, "register read " + AddressText(address) + " failed");
    std::printf("%s: %s\n", AddressText(address).c_str(),
                HexText(bytes.data(), bytes.size()).c_str());
  }
  return kExitOk;
}

}  // namespace lumo::tool
