// Command-line parsing shared by every subcommand: the global options,
// getopt_long over a subcommand's own options, numbers and hex bytes.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace lumo::tool {

// Options every subcommand accepts, before or after its name.
struct GlobalOptions {
  int emulate = 0;       // emulated cameras to plug in first (0: none)
  int camera = -1;       // camera index as `lumo list` shows it; -1: the first
  bool quiet = false;    // no library messages
  int timeoutMs = 2000;  // per register, buffer or frame call
  bool help = false;
};

// Help of the global options, for the help texts of lumo and its commands.
extern const char kGlobalOptionsHelp[];

// A subcommand's own options: getopt_long entries (flag pointers unused, the
// `val` of each is passed to the handler) and its short option string.
struct CommandOptions {
  const char* shortOptions = "";
  std::vector<option> longOptions;
};

// Receives one of the subcommand's own options with its argument (or
// null); returns false after printing why the value is wrong.
using OptionHandler = std::function<bool(int code, const char* argument)>;

// Parses argv[1..argc-1] (argv[0] is the subcommand's name) with
// getopt_long: the global options into `globals`, the subcommand's own
// through `handler`, the rest into `positional`. Prints the reason and
// returns false on a usage error.
bool ParseCommandLine(int argc, char** argv, const char* command, const CommandOptions& options,
                      GlobalOptions& globals, const OptionHandler& handler,
                      std::vector<std::string>* positional);

// Parses the global options in front of the subcommand; `*next` is the
// index of the subcommand's name (argc when there is none).
bool ParseLeadingOptions(int argc, char** argv, GlobalOptions& globals, int* next);

// A whole number, decimal or 0x-prefixed hexadecimal, within [low, high].
bool ParseNumber(const char* text, long long low, long long high, long long* value);
// Hex bytes: each argument holds one or more bytes as pairs of hex digits,
// optionally 0x-prefixed and separated by ':' ',' or '-' ("12 34", "1234",
// "0x12,0x34", "12:34"); a lone digit is one byte.
bool ParseHexBytes(const std::vector<std::string>& arguments, std::size_t first,
                   std::vector<std::uint8_t>* bytes, std::string* error);
// "12 34 56"
std::string HexText(const std::uint8_t* bytes, std::size_t count);

// Prints "lumo[ command]: message" to stderr and returns kExitUsage.
int UsageError(const char* command, const std::string& message);

}  // namespace lumo::tool
