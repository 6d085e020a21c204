// A test with one emulated camera plugged in and opened through
// LumoUsbManager; console log lines are captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lumo/LumoUsbManager.h"
#include "lumo/emulator/EmulatedDevice.h"
#include "manager/ManagerState.h"
#include "support/ConsoleCapture.h"

namespace lumo::test {

inline void* NoHandle() { return reinterpret_cast<void*>(~std::uintptr_t{0}); }

class OpenCameraFixture : public ::testing::Test {
 protected:
  explicit OpenCameraFixture(const std::string& serial)
      : camera(emulator::EmulatedDevice::Camera(serial)) {}

  void SetUp() override {
    ASSERT_TRUE(camera->Plug());
    manager = std::make_unique<LumoUsbManager>();
    handle = manager->OpenDevice(manager->GetDeviceIDForIndex(0));
    ASSERT_NE(handle, NoHandle());
  }
  void TearDown() override {
    if (manager) manager->CloseDevice(handle);
  }

  // The opened camera's state.
  camera::CameraState& State() {
    return manager::StateOf(*manager).cameraByPath.begin()->second->State();
  }

  ConsoleCapture console;
  std::unique_ptr<emulator::EmulatedDevice> camera;
  std::unique_ptr<LumoUsbManager> manager;
  void* handle = NoHandle();
};

}  // namespace lumo::test
