// Feeds arbitrary bytes to the configuration parser, in both walks, and
// walks the resulting tree.
#include <cstddef>
#include <cstdint>

#include "usb/UsbConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lumo::usb;
  for (DescriptorWalk walk : {DescriptorWalk::Usb2, DescriptorWalk::Usb3}) {
    auto configuration = ParseConfiguration(lumo::platform::InvalidHandle(), data, size, walk);
    unsigned sum = 0;
    for (unsigned i = 0; i < configuration->InterfaceCount; ++i) {
      const UsbInterfaceSetting& setting = *configuration->Interfaces[i];
      sum += setting.AlternateCount + setting.DescriptorsLength;
      for (const CLumoUSBEndPoint* endpoint : setting.Endpoints)
        if (endpoint) sum += endpoint->PacketSize;
    }
    if (sum == 0xFFFFFFFFu) return 1;  // keeps the walk from being optimised away
  }
  return 0;
}
