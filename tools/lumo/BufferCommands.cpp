// lumo send / lumo recv: bytes through the camera's buffer channel.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "ExitCodes.h"
#include "Session.h"

namespace lumo::tool {

namespace {

const char kSendUsage[] =
    "usage: lumo send [--reply] BYTES\n\n"
    "Sends hex BYTES (12 34 56, 123456, 12:34:56) through the buffer channel.\n"
    "  -r, --reply   then wait up to --timeout ms for the camera's bytes and print them\n";

const char kRecvUsage[] =
    "usage: lumo recv [N]\n\n"
    "Waits up to --timeout ms for bytes from the buffer channel and prints at most\n"
    "N of them (default 4096) in hex. Fails (exit 1) when none came.\n";

constexpr long long kMaxReceive = 1 << 20;

// Collects up to `limit` bytes: waits up to the time limit for the first,
// then takes what follows at once.
bool Receive(LumoUsbManager& manager, void* camera, std::size_t limit, int timeoutMs,
             std::vector<std::uint8_t>* received) {
  std::vector<std::uint8_t> chunk(limit);
  int wait = timeoutMs;
  while (received->size() < limit) {
    int length = static_cast<int>(limit - received->size());
    if (!manager.CameraReadBuffer(camera, chunk.data(), &length, wait)) break;
    received->insert(received->end(), chunk.begin(), chunk.begin() + length);
    wait = 50;  // the rest of an answer follows closely
  }
  return !received->empty();
}

}  // namespace

int SendCommand(int argc, char** argv, GlobalOptions& globals) {
  bool reply = false;
  CommandOptions options;
  options.shortOptions = "r";
  options.longOptions = {{"reply", no_argument, nullptr, 'r'}};
  std::vector<std::string> arguments;
  const auto take = [&](int code, const char*) {
    if (code == 'r') reply = true;
    return true;
  };
  if (!ParseCommandLine(argc, argv, "send", options, globals, take, &arguments)) return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kSendUsage);
    return kExitOk;
  }
  std::vector<std::uint8_t> bytes;
  std::string problem;
  if (arguments.empty()) return UsageError("send", "wants the bytes to send");
  if (!ParseHexBytes(arguments, 0, &bytes, &problem)) return UsageError("send", problem);

  Session session(globals, "send");
  if (const int started = session.Start()) return started;
  void* camera = nullptr;
  if (const int opened = session.OpenChosen(&camera, nullptr)) return opened;
  LumoUsbManager& manager = session.Manager();
  if (!manager.CameraSendBuffer(camera, bytes.data(), static_cast<int>(bytes.size()),
                                globals.timeoutMs))
    return session.Failure(camera, "sending " + std::to_string(bytes.size()) + " bytes failed");
  std::printf("sent %zu bytes\n", bytes.size());
  if (!reply) return kExitOk;
  std::vector<std::uint8_t> received;
  if (!Receive(manager, camera, 4096, globals.timeoutMs, &received))
    return session.Failure(camera, "no reply within " + std::to_string(globals.timeoutMs) + " ms");
  std::printf("received %zu bytes: %s\n", received.size(),
              HexText(received.data(), received.size()).c_str());
  return kExitOk;
}

int RecvCommand(int argc, char** argv, GlobalOptions& globals) {
  std::vector<std::string> arguments;
  if (!ParseCommandLine(argc, argv, "recv", CommandOptions{}, globals, nullptr, &arguments))
    return kExitUsage;
  if (globals.help) {
    PrintCommandHelp(kRecvUsage);
    return kExitOk;
  }
  long long limit = 4096;
  if (arguments.size() > 1) return UsageError("recv", "takes at most N");
  if (arguments.size() == 1 && !ParseNumber(arguments[0].c_str(), 1, kMaxReceive, &limit))
    return UsageError(
        "recv", "N must be 1 to " + std::to_string(kMaxReceive) + ", not '" + arguments[0] + "'");

  Session session(globals, "recv");
  if (const int started = session.Start()) return started;
  void* camera = nullptr;
  if (const int opened = session.OpenChosen(&camera, nullptr)) return opened;
  std::vector<std::uint8_t> received;
  if (!Receive(session.Manager(), camera, static_cast<std::size_t>(limit), globals.timeoutMs,
               &received))
    return session.Failure(camera, "no bytes within " + std::to_string(globals.timeoutMs) + " ms");
  std::printf("received %zu bytes: %s\n", received.size(),
              HexText(received.data(), received.size()).c_str());
  return kExitOk;
}

}  // namespace lumo::tool
