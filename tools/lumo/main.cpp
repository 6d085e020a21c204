// lumo: the command-line tool of libLumoUsb. Lists and describes cameras,
// reads and writes registers, talks over the buffer channel, grabs frames
// into PNG or PGM files and watches cameras come and go; with --emulate, on
// emulated cameras.
#include <cstdio>
#include <cstring>
#include <string>

#include "Commands.h"
#include "ExitCodes.h"
#include "ImageFile.h"
#include "Options.h"
#include "lumo/Version.h"

using namespace lumo::tool;

namespace {

const Command kCommands[] = {
    {"list", "the cameras: index, device ID, serial number, USB speed", ListCommand},
    {"info", "one camera's descriptors, strings and driver values", InfoCommand},
    {"reg", "read or write a camera register", RegCommand},
    {"send", "send bytes through the buffer channel", SendCommand},
    {"recv", "receive bytes from the buffer channel", RecvCommand},
    {"grab", "acquire frames, show the rates, save them as PNG or PGM", GrabCommand},
    {"watch", "show cameras arriving and leaving as it happens", WatchCommand},
#ifdef LUMO_TOOL_VIEW
    {"view", "show the camera live in a window (through GStreamer)", ViewCommand},
#endif
};

void PrintHelp() {
  std::printf(
      "usage: lumo [global options] COMMAND [options] [arguments]\n"
      "       lumo COMMAND --help\n\n"
      "libLumoUsb %s: USB 3 industrial cameras from the command line.\n\n"
      "Commands:\n",
      LumoUsbVersion());
  for (const Command& command : kCommands)
    std::printf("  %-7s %s\n", command.name, command.summary);
  std::printf("\n%s", kGlobalOptionsHelp);
  std::printf(
      "\nExit codes:\n"
      "  0    done\n"
      "  1    the operation failed (the camera refused, timed out, was removed...;\n"
      "       the message says why)\n"
      "  2    usage error: unknown command or option, bad value\n"
      "  3    no camera: none found, or none with the index asked for\n"
      "  4    the camera could not be opened\n"
      "  5    an output file could not be written\n"
      "  130  interrupted (Ctrl-C) before the work was done\n"
      "\nImages: .png (%s) and .pgm, 8-bit or 16-bit greyscale.\n",
      PngSupported() ? "through libpng" : "not in this build: built without libpng");
}

const Command* Find(const char* name) {
  for (const Command& command : kCommands)
    if (std::strcmp(command.name, name) == 0) return &command;
  return nullptr;
}

}  // namespace

namespace lumo::tool {

void PrintCommandHelp(const char* usage) { std::printf("%s\n%s", usage, kGlobalOptionsHelp); }

}  // namespace lumo::tool

int main(int argc, char** argv) {
  GlobalOptions globals;
  int next = argc;
  if (!ParseLeadingOptions(argc, argv, globals, &next)) return kExitUsage;
  if (next >= argc) {
    if (globals.help) {
      PrintHelp();
      return kExitOk;
    }
    return UsageError(nullptr, "no command given");
  }
  const char* name = argv[next];
  if (std::strcmp(name, "help") == 0) {
    if (next + 1 >= argc) {
      PrintHelp();
      return kExitOk;
    }
    name = argv[next + 1];
    const Command* command = Find(name);
    if (!command) return UsageError(nullptr, std::string("unknown command '") + name + "'");
    char help[] = "--help";
    char* helpArgs[] = {argv[next + 1], help, nullptr};
    return command->run(2, helpArgs, globals);
  }
  const Command* command = Find(name);
  if (!command) return UsageError(nullptr, std::string("unknown command '") + name + "'");
  return command->run(argc - next, argv + next, globals);
}
