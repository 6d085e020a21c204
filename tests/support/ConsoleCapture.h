// Collects the library's console log lines, and the camera each concerns,
// while a test runs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "lumo/Log.h"

namespace lumo::test {

class ConsoleCapture {
 public:
  ConsoleCapture() {
    Clear();
    LumoSetLogSink(&Collect, nullptr);
  }
  ~ConsoleCapture() { LumoSetLogSink(nullptr, nullptr); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::vector<std::string> Captured() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }
  // The camera handle each captured line came with, in the same order.
  std::vector<void*> Cameras() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return CameraList();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().clear();
    CameraList().clear();
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
  static std::vector<void*>& CameraList() {
    static std::vector<void*> cameras;
    return cameras;
  }
  static void Collect(void* /*context*/, void* camera, const char* message) {
    std::lock_guard<std::mutex> lock(Mutex());
    Lines().emplace_back(message);
    CameraList().push_back(camera);
  }
};

}  // namespace lumo::test
