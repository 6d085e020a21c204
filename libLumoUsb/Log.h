// The library's two diagnostic outputs. The console log writes printf-style
// messages to standard output; the trace log formats its messages and drops
// them. Messages carry their own "\r\n"; there are no levels, time stamps or
// prefixes.
#pragma once

namespace lumo {

#if defined(__GNUC__)
#define LUMO_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define LUMO_PRINTF_FORMAT(f, a)
#endif

void ConsoleLog(const char* format, ...) LUMO_PRINTF_FORMAT(1, 2);
void TraceLog(const char* format, ...) LUMO_PRINTF_FORMAT(1, 2);

// Where console messages go; standard output unless a test redirects them.
// Pass null to restore standard output.
using ConsoleSink = void (*)(const char* message);
void SetConsoleSink(ConsoleSink sink);

}  // namespace lumo
