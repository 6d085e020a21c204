// Feeds arbitrary bytes to the BOS parser.
#include <cstddef>
#include <cstdint>

#include "usb/BosSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto bos = lumo::usb::ParseBos(data, size);
  unsigned sum = bos->bNumDeviceCaps;
  if (bos->SuperSpeed) sum += bos->SuperSpeed->wSpeedsSupported;
  if (bos->ContainerId) sum += bos->ContainerId->ContainerID[15];
  if (bos->Usb2Extension) sum += bos->Usb2Extension->bmAttributes;
  return sum == 0xFFFFFFFFu ? 1 : 0;
}
