// The tool's output: whole lines, a progress line that is rewritten in
// place on a terminal (one line per update otherwise), and the library's
// own messages, shown above the progress line or not at all.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace lumo::tool {

class Console {
 public:
  // The process's console. It lives until the process ends, since the
  // library may call its message sink from its own threads at any time.
  static Console& Instance();

  // Routes the library's messages here, or drops them when `quiet`.
  void InstallLogSink(bool quiet);
  // The name shown before messages about `camera` ("camera 0").
  void NameCamera(void* camera, const std::string& name);

  // Prints one line (a newline is added) to stdout, or to stderr for
  // `error`; a progress line on a terminal stays below it.
  void Line(const std::string& text, bool error = false);
  // Shows the progress line: rewritten in place on a terminal, otherwise
  // printed as a line of its own.
  void Progress(const std::string& text);
  // Ends the progress line, so that what follows starts on a new line.
  void EndProgress();

  bool StdoutIsTerminal() const { return terminal_; }

 private:
  Console();
  static void Sink(void* context, void* camera, const char* message);
  static void Silence(void* context, void* camera, const char* message);
  void ClearProgressLocked();
  void DrawProgressLocked();

  std::mutex mutex_;
  const bool terminal_;
  std::string progress_;  // the progress line on screen (terminal only)
  void* namedCamera_ = nullptr;
  std::string cameraName_;
};

}  // namespace lumo::tool
