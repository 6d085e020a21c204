#include "Log.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>

namespace lumo {

namespace {

void WriteToStandardOutput(void* /*context*/, void* /*camera*/, const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

// The installed sink. Each message takes the sink of the moment and runs it
// outside the lock; calls in progress are counted per installation, so that
// replacing a sink can wait until the old one is no longer running.
struct SinkState {
  std::mutex lock;
  std::condition_variable idle;
  LumoLogSink sink = &WriteToStandardOutput;
  void* context = nullptr;
  std::uint64_t installation = 0;
  std::map<std::uint64_t, int> running;  // installation -> calls in progress
};

// Never destroyed: threads of the library may still write while the
// process exits.
SinkState& Sink() {
  static SinkState* const state = new SinkState;
  return *state;
}

thread_local const void* logCamera = nullptr;
thread_local int insideSink = 0;

std::atomic<ConsoleSink> textSink{nullptr};

void CallTextSink(void* /*context*/, void* /*camera*/, const char* message) {
  if (const ConsoleSink sink = textSink.load()) sink(message);
}

void Deliver(const char* message) {
  SinkState& state = Sink();
  LumoLogSink sink;
  void* context;
  std::uint64_t installation;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    sink = state.sink;
    context = state.context;
    installation = state.installation;
    ++state.running[installation];
  }
  ++insideSink;
  sink(context, const_cast<void*>(logCamera), message);
  --insideSink;
  std::lock_guard<std::mutex> guard(state.lock);
  auto it = state.running.find(installation);
  if (--it->second == 0) {
    state.running.erase(it);
    state.idle.notify_all();
  }
}

}  // namespace

void ConsoleLog(const char* format, ...) {
  char message[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof(message), format, arguments);
  va_end(arguments);
  Deliver(message);
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
  textSink.store(sink);
  LumoSetLogSink(sink ? &CallTextSink : nullptr, nullptr);
}

LogCameraScope::LogCameraScope(const void* camera) : previous_(logCamera) { logCamera = camera; }

LogCameraScope::~LogCameraScope() { logCamera = previous_; }

void RepeatedMessage::Log(const char* format, ...) {
  const bool repeat = format == format_;
  if (!repeat) Flush();
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text_, sizeof(text_), format, arguments);
  va_end(arguments);
  const Clock::time_point now = Clock::now();
  if (!repeat) {
    format_ = format;
    written_ = now;
    Deliver(text_);
    return;
  }
  ++repeats_;
  if (now - written_ >= std::chrono::seconds(1)) {
    WriteSummary();
    written_ = now;
  }
}

void RepeatedMessage::Flush() {
  if (repeats_ != 0) WriteSummary();
  format_ = nullptr;
}

void RepeatedMessage::WriteSummary() {
  char line[sizeof(text_) + 32];
  std::snprintf(line, sizeof(line), "repeated %u times: %s", static_cast<unsigned>(repeats_),
                text_);
  repeats_ = 0;
  Deliver(line);
}

}  // namespace lumo

extern "C" void LumoSetLogSink(LumoLogSink sink, void* context) {
  lumo::SinkState& state = lumo::Sink();
  std::unique_lock<std::mutex> guard(state.lock);
  state.sink = sink ? sink : &lumo::WriteToStandardOutput;
  state.context = sink ? context : nullptr;
  const std::uint64_t replaced = state.installation++;
  // A sink that installs another cannot wait for its own return.
  if (lumo::insideSink > 0) return;
  state.idle.wait(guard,
                  [&] { return state.running.empty() || state.running.begin()->first > replaced; });
}
