#include "flat/ProcessManager.h"

#include <atomic>
#include <mutex>

namespace lumo::flat {

namespace {

// Set once and never cleared. Read without a lock by every flat function,
// so it is atomic; the mutex only keeps two first calls from both building
// a manager (each would enumerate the cameras and start a hot-plug watcher).
std::atomic<LumoUsbManager*> processManager{nullptr};
std::mutex creationMutex;

}  // namespace

LumoUsbManager* ProcessManager() { return processManager.load(std::memory_order_acquire); }

LumoUsbManager& CreateProcessManager() {
  if (LumoUsbManager* existing = ProcessManager()) return *existing;
  std::lock_guard<std::mutex> lock(creationMutex);
  LumoUsbManager* manager = processManager.load(std::memory_order_relaxed);
  if (!manager) {
    // Deliberately never deleted (see ProcessManager.h).
    manager = new LumoUsbManager;
    processManager.store(manager, std::memory_order_release);
  }
  return *manager;
}

}  // namespace lumo::flat
