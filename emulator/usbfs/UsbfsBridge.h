// Stands an emulated device in front of the real libusb-1.0, through
// umockdev: the device gets a sysfs entry and a usbfs node in a umockdev
// test bed, and every usbfs request made on that node (URBs submitted,
// reaped and discarded, interfaces claimed, settings chosen) is served by
// the emulated device, which is plugged on the emulator's own bus where the
// library does not look for it. The same emulated camera thus answers the
// library through the libusb driver exactly as it answers it directly.
//
// The program must run under umockdev-wrapper (it preloads the library that
// diverts /sys, /dev and their ioctls into the test bed), and the test bed
// must exist before libusb is first initialised.
//
// Plugging gives the device a new address each time, as a real replug
// does, in the same port; unplugging sends the removal uevent and fails
// every later request on the old node with ENODEV.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace lumo::emulator {

class EmulatedDevice;

class UsbfsBridge {
 public:
  // `port` names the device's place under the root hub of `bus` ("1-1",
  // "1-2.3"); the bridge keeps a reference to `testbed`.
  UsbfsBridge(UMockdevTestbed* testbed, EmulatedDevice& device, int bus = 1,
              std::string port = "1-1");
  // Unplugs the device if it is plugged.
  ~UsbfsBridge();
  UsbfsBridge(const UsbfsBridge&) = delete;
  UsbfsBridge& operator=(const UsbfsBridge&) = delete;

  // Adds the device to the test bed and announces it. False if it is
  // plugged already or the emulated device could not be reached.
  bool Plug();
  // Announces the removal and takes the device away.
  bool Unplug();
  bool IsPlugged() const;

  // URBs submitted through the bridge so far, over all plugs.
  std::uint64_t UrbsSubmitted() const;
  // Whether the program holds a claim on one of the device's interfaces.
  bool InterfaceClaimed() const;

  // What the program did through the node, over all plugs.
  struct Tally {
    std::atomic<std::uint64_t> submitted{0};
    std::atomic<int> claims{0};  // interfaces claimed and not released
  };

 private:
  class Connection;
  UMockdevTestbed* testbed_;
  EmulatedDevice& device_;
  const int bus_;
  const std::string port_;
  std::unique_ptr<Connection> connection_;
  // Connections of earlier plugs: their nodes keep answering ENODEV to a
  // program that has not closed them yet.
  std::vector<std::unique_ptr<Connection>> unplugged_;
  Tally tally_;
};

}  // namespace lumo::emulator
