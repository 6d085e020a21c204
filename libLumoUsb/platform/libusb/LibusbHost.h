// The libusb side of the process: one libusb context, the thread that
// handles its events, and the cameras it finds, each plugged into the
// virtual bus as a LibusbCamera under a device path of the same form the
// Windows driver's interfaces have:
//
//   \\?\usb#vid_04b4&pid_00f1#<serial>#{ae18aa60-7f6a-11d4-97dd-00010229b959}
//
// or, for a camera without a serial number, "port-<bus>-<port>.<port>..."
// in place of the serial: the same camera in the same port keeps its path
// across replugs.
//
// Arrivals and removals come from libusb's hot-plug callbacks, or from a
// rescan once a second where libusb has no hot-plug support. The callbacks
// run on libusb's event thread and only queue the event: the host's worker
// opens, identifies and plugs a camera that arrives, and unplugs and shuts
// down one that leaves. The bus then posts arrival and removal notices to
// the registered windows; nothing here calls into the library above the
// seam, so no lock of the library is ever taken on libusb's threads.
//
// The host lives until the process ends; its threads never outlive its
// context. Setting the environment variable LUMO_LIBUSB=0 keeps it from
// starting (the program then sees emulated cameras only).
#pragma once

namespace lumo::platform::libusb {

// Starts the host once per process and plugs the cameras present; returns
// when they are plugged. Does nothing when libusb cannot be initialised
// (no USB on the machine) or LUMO_LIBUSB=0.
void StartHost();

}  // namespace lumo::platform::libusb
