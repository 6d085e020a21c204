#include "Options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ExitCodes.h"

namespace lumo::tool {

const char kGlobalOptionsHelp[] =
    "Global options (before or after the command):\n"
    "  --emulate[=N]      plug in N emulated cameras (default 2) and use them\n"
    "  -c, --camera INDEX the camera to use, by its index in `lumo list` (default: the first)\n"
    "  -t, --timeout MS   time limit of each register, buffer or frame call (default 2000)\n"
    "  -q, --quiet        do not show the library's messages\n"
    "  -h, --help         this help\n";

namespace {

enum GlobalCode { kEmulate = 0x1000 };

const option kGlobalLong[] = {
    {"emulate", optional_argument, nullptr, kEmulate},
    {"camera", required_argument, nullptr, 'c'},
    {"timeout", required_argument, nullptr, 't'},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
};
const char kGlobalShort[] = "c:t:qh";

// Returns 1 when `code` was a global option and was taken, 0 when it is not
// a global option, -1 on a bad value (reported).
int TakeGlobal(int code, const char* argument, const char* command, GlobalOptions& globals) {
  long long value = 0;
  switch (code) {
    case kEmulate:
      if (!argument) {
        globals.emulate = 2;
      } else if (!ParseNumber(argument, 0, 16, &value)) {
        UsageError(command,
                   std::string("--emulate=N wants 0 to 16 cameras, not '") + argument + "'");
        return -1;
      } else {
        globals.emulate = static_cast<int>(value);
      }
      return 1;
    case 'c':
      if (!ParseNumber(argument, 0, 255, &value)) {
        UsageError(command,
                   std::string("--camera wants an index from 0 to 255, not '") + argument + "'");
        return -1;
      }
      globals.camera = static_cast<int>(value);
      return 1;
    case 't':
      if (!ParseNumber(argument, 0, 3600000, &value)) {
        UsageError(command, std::string("--timeout wants milliseconds (0 to 3600000), not '") +
                                argument + "'");
        return -1;
      }
      globals.timeoutMs = static_cast<int>(value);
      return 1;
    case 'q':
      globals.quiet = true;
      return 1;
    case 'h':
      globals.help = true;
      return 1;
    default:
      return 0;
  }
}

// The option getopt_long stopped at, for the message about it.
std::string OffendingOption(char** argv) {
  if (optind > 0 && std::strncmp(argv[optind - 1], "--", 2) == 0) {
    std::string text = argv[optind - 1];
    return text.substr(0, text.find('='));
  }
  if (optopt > 0 && optopt < 128) return std::string("-") + static_cast<char>(optopt);
  return optind > 0 ? std::string(argv[optind - 1]) : std::string("?");
}

bool RunGetopt(int argc, char** argv, const char* command, const std::string& shortOptions,
               const std::vector<option>& longOptions, GlobalOptions& globals,
               const OptionHandler& handler) {
  opterr = 0;
  optind = 0;  // a fresh scan: getopt_long was used before in this process
  for (;;) {
    const int code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
    if (code == -1) return true;
    if (code == '?') {
      UsageError(command, "unknown option " + OffendingOption(argv));
      return false;
    }
    if (code == ':') {
      UsageError(command, OffendingOption(argv) + " wants a value");
      return false;
    }
    const int global = TakeGlobal(code, optarg, command, globals);
    if (global < 0) return false;
    if (global == 0 && (!handler || !handler(code, optarg))) return false;
  }
}

}  // namespace

bool ParseLeadingOptions(int argc, char** argv, GlobalOptions& globals, int* next) {
  std::vector<option> longOptions(std::begin(kGlobalLong), std::end(kGlobalLong));
  longOptions.push_back({nullptr, 0, nullptr, 0});
  // '+': stop at the subcommand's name; ':' first reports missing values
  // apart from unknown options.
  if (!RunGetopt(argc, argv, nullptr, std::string("+:") + kGlobalShort, longOptions, globals,
                 nullptr))
    return false;
  *next = optind;
  return true;
}

bool ParseCommandLine(int argc, char** argv, const char* command, const CommandOptions& options,
                      GlobalOptions& globals, const OptionHandler& handler,
                      std::vector<std::string>* positional) {
  std::vector<option> longOptions(options.longOptions);
  longOptions.insert(longOptions.end(), std::begin(kGlobalLong), std::end(kGlobalLong));
  longOptions.push_back({nullptr, 0, nullptr, 0});
  if (!RunGetopt(argc, argv, command, std::string(":") + kGlobalShort + options.shortOptions,
                 longOptions, globals, handler))
    return false;
  for (int i = optind; i < argc; ++i) positional->emplace_back(argv[i]);
  return true;
}

bool ParseNumber(const char* text, long long low, long long high, long long* value) {
  if (!text || !*text || std::isspace(static_cast<unsigned char>(*text))) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text, &end, 0);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

bool ParseHexBytes(const std::vector<std::string>& arguments, std::size_t first,
                   std::vector<std::uint8_t>* bytes, std::string* error) {
  for (std::size_t a = first; a < arguments.size(); ++a) {
    const std::string& argument = arguments[a];
    std::size_t begin = 0;
    bool any = false;
    while (begin <= argument.size()) {
      std::size_t end = argument.find_first_of(":,-", begin);
      if (end == std::string::npos) end = argument.size();
      std::string token = argument.substr(begin, end - begin);
      begin = end + 1;
      if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
        token.erase(0, 2);
      if (token.empty()) continue;
      if (token.size() == 1) token.insert(0, 1, '0');
      bool hex = token.size() % 2 == 0;
      for (const char c : token) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
      if (!hex) {
        *error = "'" + argument + "' is not hex bytes (two hex digits per byte)";
        return false;
      }
      for (std::size_t i = 0; i < token.size(); i += 2)
        bytes->push_back(
            static_cast<std::uint8_t>(std::strtoul(token.substr(i, 2).c_str(), nullptr, 16)));
      any = true;
    }
    if (!any) {
      *error = "'" + argument + "' holds no hex bytes";
      return false;
    }
  }
  return true;
}

std::string HexText(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof(digits), i ? " %02X" : "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

int UsageError(const char* command, const std::string& message) {
  if (command)
    std::fprintf(stderr, "lumo %s: %s\n(see lumo %s --help)\n", command, message.c_str(), command);
  else
    std::fprintf(stderr, "lumo: %s\n(see lumo --help)\n", message.c_str());
  return kExitUsage;
}

}  // namespace lumo::tool
