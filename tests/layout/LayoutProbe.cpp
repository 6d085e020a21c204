// Checks the binary layouts that callers and the driver see on the word size
// this program is built for; CI builds it with -m32 as well. Its
// static_asserts hold at compile time; at run time it writes fields through
// the structures and checks where the bytes land.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lumo/FrameRecord.h"
#include "lumo/lumo_u3v.h"
#include "platform/Platform.h"
#include "usb/DriverInterface.h"

namespace {

int failures = 0;

void Expect(bool condition, const char* what) {
  if (!condition) {
    std::printf("layout mismatch: %s\n", what);
    ++failures;
  }
}

}  // namespace

int main() {
  lumo::usb::TransferRecord record{};
  record.endpointAddress = 0x81;
  record.usbStatus = 0x04030201;
  record.dataOffset = 38;
  unsigned char bytes[sizeof(record)];
  std::memcpy(bytes, &record, sizeof(record));
  Expect(sizeof(record) == 38, "TransferRecord is 38 bytes");
  Expect(bytes[13] == 0x81, "endpoint address at 13");
  Expect(bytes[18] == 0x01 && bytes[21] == 0x04, "USB status at 18, little-endian");
  Expect(bytes[30] == 38, "data offset at 30");

  alignas(8) unsigned char frame[lumo::kFrameHeaderSize] = {};
  auto* header = reinterpret_cast<lumo::FrameRecordHeader*>(frame);
  header->frameNumber = 0x11223344;
  header->imageAddress = frame + 1;
  Expect(frame[20] == 0x44, "frameNumber at 20");
  const std::size_t imageAt = sizeof(void*) == 4 ? 68 : 88;
  unsigned char* stored = nullptr;
  std::memcpy(&stored, frame + imageAt, sizeof(stored));
  Expect(stored == frame + 1, "imageAddress at 68 (32-bit) or 88 (64-bit)");

  Expect(offsetof(lumo::platform::DeviceInterfaceNotice, name) == 28, "notice path at byte 28");

  // The flat interface's records.
  LUMO_U3V_ImageInfo image{};
  image.pixelFormat = 0x01080001;
  image.width = 0x0A0B0C0D;
  image.height = 0x01020304;
  image.imageAddress = 0x55667788;
  unsigned char info[sizeof(image)];
  std::memcpy(info, &image, sizeof(image));
  Expect(sizeof(image) == 46, "ImageInfo is 46 bytes");
  Expect(info[16] == 0x01 && info[19] == 0x01, "pixelFormat at 16");
  Expect(info[28] == 0x0D && info[32] == 0x04, "width at 28, height at 32");
  Expect(info[42] == 0x88 && info[45] == 0x55, "imageAddress at 42");
  Expect(offsetof(LUMO_U3V_ImageInfo, fullImageAddress) == 8, "full image address at 8");
  LUMO_U3V_DeviceInfo device{};
  device.deviceId = &device;
  void* id = nullptr;
  std::memcpy(&id, reinterpret_cast<unsigned char*>(&device) + 8, sizeof(id));
  Expect(id == &device, "device ID at 8");

  // LumoFrame: one layout on both word sizes, each address in 8 bytes.
  LumoFrame lent{};
  lent.record = &lent;
  lent.cameraFrameNumber = 0x0A0B0C0D;
  lent.timestampNs = 0x0102030405060708;
  unsigned char described[sizeof(lent)];
  std::memcpy(described, &lent, sizeof(lent));
  std::uint64_t recordAt0 = 0;
  std::memcpy(&recordAt0, described, 8);
  Expect(sizeof(lent) == 96, "LumoFrame is 96 bytes");
  Expect(recordAt0 == reinterpret_cast<std::uintptr_t>(&lent), "record in bytes 0-7");
  Expect(described[40] == 0x08 && described[47] == 0x01, "timestampNs at 40");
  Expect(described[76] == 0x0D && described[79] == 0x0A, "cameraFrameNumber at 76");

  std::printf("%zu-bit layouts: %s\n", sizeof(void*) * 8, failures == 0 ? "ok" : "MISMATCH");
  return failures == 0 ? 0 : 1;
}
