#include "Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace lumo {

namespace {

void WriteToStandardOutput(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

std::atomic<ConsoleSink> consoleSink{&WriteToStandardOutput};

}  // namespace

void ConsoleLog(const char* format, ...) {
  char message[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);
  consoleSink.load()(message);
}

void TraceLog(const char* format, ...) {
  // Formatted like every message, then dropped: nothing of it is shown.
  char message[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);
}

void SetConsoleSink(ConsoleSink sink) {
  consoleSink.store(sink ? sink : &WriteToStandardOutput);
}

}  // namespace lumo
