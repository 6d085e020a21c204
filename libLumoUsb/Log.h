// The library's two diagnostic outputs. The console log writes printf-style
// messages to the application's sink (lumo/Log.h), standard output unless
// one is installed; the trace log formats its messages and drops them.
// Messages carry their own "\r\n"; there are no levels, time stamps or
// prefixes. The camera a console message concerns is the one the writing
// thread works for (LogCameraScope); it goes to the sink beside the text.
#pragma once

#include <chrono>
#include <cstdint>

#include "lumo/Log.h"

namespace lumo {

#if defined(__GNUC__)
#define LUMO_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define LUMO_PRINTF_FORMAT(f, a)
#endif

void ConsoleLog(const char* format, ...) LUMO_PRINTF_FORMAT(1, 2);
void TraceLog(const char* format, ...) LUMO_PRINTF_FORMAT(1, 2);

// A sink for the text alone, for the library's tests and benchmarks; it
// replaces the application's sink. Pass null to restore standard output.
using ConsoleSink = void (*)(const char* message);
void SetConsoleSink(ConsoleSink sink);

// For its lifetime, console messages written by this thread concern
// `camera` (a camera handle); the scope before it is restored at its end.
class LogCameraScope {
 public:
  explicit LogCameraScope(const void* camera);
  ~LogCameraScope();
  LogCameraScope(const LogCameraScope&) = delete;
  LogCameraScope& operator=(const LogCameraScope&) = delete;

 private:
  const void* previous_;
};

// Collapses a console message that repeats. The first of a run is written
// at once; repeats of the same format are counted and, at most once a
// second, written as one line "repeated N times: " followed by the latest
// text. Used by one thread at a time.
class RepeatedMessage {
 public:
  void Log(const char* format, ...) LUMO_PRINTF_FORMAT(2, 3);
  // The run has ended: repeats not yet reported are written now.
  void Flush();

 private:
  using Clock = std::chrono::steady_clock;
  void WriteSummary();

  const char* format_ = nullptr;  // of the run in progress; null: none
  std::uint32_t repeats_ = 0;     // since the last line written
  Clock::time_point written_;
  char text_[1024] = {};  // the latest text of the run
};

}  // namespace lumo
