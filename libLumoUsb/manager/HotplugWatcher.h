// The hot-plug watcher: one pump thread per manager owns a message-only
// window that is registered for arrival and removal notices of the driver's
// interface class.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Platform.h"

namespace lumo::manager {

struct ManagerState;

// Window class name of the pump thread with id `threadId`.
std::string PumpWindowClassName(std::uint32_t threadId);

// Thread routine of the pump thread. Runs for as long as state->pumpRunning
// is set, which is for the life of the process. Calls
// state->MarkPumpReady() once its window is made and registered for notices
// (or could not be), before it starts taking messages.
void RunMessagePump(ManagerState* state);

std::intptr_t LUMO_WINAPI HotplugWindowProc(platform::Window window, std::uint32_t message,
                                            std::uintptr_t wParam, std::intptr_t lParam);

}  // namespace lumo::manager
