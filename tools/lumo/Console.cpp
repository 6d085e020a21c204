#include "Console.h"

#include "lumo/Log.h"

#ifdef _WIN32
#include <io.h>
#define LUMO_ISATTY(file) _isatty(_fileno(file))
#else
#include <unistd.h>
#define LUMO_ISATTY(file) isatty(fileno(file))
#endif

namespace lumo::tool {

Console& Console::Instance() {
  // Never destroyed: a library thread may still be writing a message while
  // the process exits.
  static Console* console = new Console;
  return *console;
}

Console::Console() : terminal_(LUMO_ISATTY(stdout) != 0) {}

void Console::InstallLogSink(bool quiet) {
  LumoSetLogSink(quiet ? &Console::Silence : &Console::Sink, this);
}

void Console::NameCamera(void* camera, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  namedCamera_ = camera;
  cameraName_ = name;
}

void Console::Sink(void* context, void* camera, const char* message) {
  Console& console = *static_cast<Console*>(context);
  std::string text = message ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::lock_guard<std::mutex> lock(console.mutex_);
  console.ClearProgressLocked();
  if (camera && camera == console.namedCamera_)
    std::fprintf(stderr, "%s: %s\n", console.cameraName_.c_str(), text.c_str());
  else
    std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  console.DrawProgressLocked();
}

void Console::Silence(void*, void*, const char*) {}

void Console::Line(const std::string& text, bool error) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  std::FILE* file = error ? stderr : stdout;
  std::fprintf(file, "%s\n", text.c_str());
  std::fflush(file);
  DrawProgressLocked();
}

void Console::Progress(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!terminal_) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    return;
  }
  // Spaces cover what a longer previous line left.
  const std::size_t previous = progress_.size();
  progress_ = text;
  std::printf("\r%s", text.c_str());
  if (previous > text.size()) std::printf("%*s", static_cast<int>(previous - text.size()), "");
  std::fflush(stdout);
}

void Console::EndProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_ && !progress_.empty()) {
    std::printf("\n");
    std::fflush(stdout);
  }
  progress_.clear();
}

void Console::ClearProgressLocked() {
  if (!terminal_ || progress_.empty()) return;
  std::printf("\r%*s\r", static_cast<int>(progress_.size()), "");
  std::fflush(stdout);
}

void Console::DrawProgressLocked() {
  if (!terminal_ || progress_.empty()) return;
  std::printf("%s", progress_.c_str());
  std::fflush(stdout);
}

}  // namespace lumo::tool
