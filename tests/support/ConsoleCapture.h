// Collects the library's console log lines while a test runs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Log.h"

namespace lumo::test {

class ConsoleCapture {
 public:
  ConsoleCapture() {
    Lines().clear();
    SetConsoleSink(&Collect);
  }
  ~ConsoleCapture() { SetConsoleSink(nullptr); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::vector<std::string> Captured() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().clear();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static void Collect(const char* message) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(message);
  }
};

}  // namespace lumo::test
