// Parsing configuration and BOS descriptor sets into the descriptor tree.
#include <gtest/gtest.h>

#include <vector>

#include "usb/BosSet.h"
#include "usb/BulkEndPoint.h"
#include "usb/IsocEndPoint.h"
#include "usb/UsbConfiguration.h"

namespace lumo::usb {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints) {
  return {9, 4, number, alternate, endpoints, 0xFF, 0, 0, 0};
}
Bytes Endpoint(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket) {
  return {7, 5, address, attributes, std::uint8_t(maxPacket), std::uint8_t(maxPacket >> 8), 0};
}
Bytes Companion(std::uint8_t burst, std::uint8_t attributes = 0) {
  return {6, 0x30, burst, attributes, 0, 0};
}
Bytes ClassSpecific() { return {5, 0x24, 1, 2, 3}; }

// A configuration descriptor set whose header gets the total length.
Bytes Configuration(std::initializer_list<Bytes> parts) {
  Bytes data = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const Bytes& part : parts) data.insert(data.end(), part.begin(), part.end());
  data[2] = std::uint8_t(data.size());
  data[3] = std::uint8_t(data.size() >> 8);
  return data;
}

std::unique_ptr<UsbConfiguration> Parse(const Bytes& data, DescriptorWalk walk) {
  return ParseConfiguration(platform::InvalidHandle(), data.data(), data.size(), walk);
}

TEST(DescriptorTree, TwoAlternateSettingsOfOneInterface) {
  const Bytes data = Configuration({Interface(0, 0, 1), Endpoint(0x81, 2, 512), Interface(0, 1, 2),
                                    Endpoint(0x81, 2, 1024), Endpoint(0x02, 3, 64)});
  auto configuration = Parse(data, DescriptorWalk::Usb2);
  EXPECT_EQ(configuration->InterfaceCount, 2);
  EXPECT_EQ(configuration->wTotalLength, data.size());
  EXPECT_EQ(configuration->bConfigurationValue, 1);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(configuration->Interfaces[i]->AlternateCount, 2);
  const UsbInterfaceSetting& second = *configuration->Interfaces[1];
  EXPECT_EQ(second.bAlternateSetting, 1);
  EXPECT_EQ(second.DescriptorsLength, 9 + 7 + 7);
  ASSERT_NE(second.Endpoints[2], nullptr);
  EXPECT_NE(dynamic_cast<CLumoInterruptEndPoint*>(second.Endpoints[2]), nullptr);
  EXPECT_EQ(second.Endpoints[0], nullptr);  // the device's control endpoint comes later
  EXPECT_EQ(configuration->Interfaces[2], nullptr);
}

TEST(DescriptorTree, Usb3WalkReadsCompanionsUsb2WalkStepsOverThem) {
  const Bytes data = Configuration({Interface(0, 0, 2), Endpoint(0x81, 2, 1024), Companion(15),
                                    ClassSpecific(), Endpoint(0x02, 2, 1024), Companion(3)});
  auto usb3 = Parse(data, DescriptorWalk::Usb3);
  ASSERT_EQ(usb3->InterfaceCount, 1);
  const UsbInterfaceSetting& setting = *usb3->Interfaces[0];
  EXPECT_EQ(setting.DescriptorsLength, 9 + 7 + 6 + 5 + 7 + 6);
  auto* in = dynamic_cast<CLumoBulkEndPoint*>(setting.Endpoints[1]);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->EndpointAddress, 0x81);
  EXPECT_EQ(in->PacketSize, 16384);
  EXPECT_EQ(in->CompanionType, 0x30);
  ASSERT_NE(setting.Endpoints[2], nullptr);
  EXPECT_EQ(setting.Endpoints[2]->EndpointAddress, 0x02);
  EXPECT_EQ(setting.Endpoints[2]->MaxBurst, 3);

  auto usb2 = Parse(data, DescriptorWalk::Usb2);
  const UsbInterfaceSetting& plain = *usb2->Interfaces[0];
  ASSERT_NE(plain.Endpoints[1], nullptr);
  EXPECT_EQ(plain.Endpoints[1]->PacketSize, 1024);
  EXPECT_EQ(plain.Endpoints[1]->CompanionLength, 0);
  ASSERT_NE(plain.Endpoints[2], nullptr);
  EXPECT_EQ(plain.Endpoints[2]->EndpointAddress, 0x02);
  // The first companion, the class-specific descriptor: stepped over; the
  // second companion lies past the last endpoint and belongs to no setting.
  EXPECT_EQ(plain.DescriptorsLength, 9 + 7 + 6 + 5 + 7);
}

TEST(DescriptorTree, EndpointKindComesFromTheWholeAttributesByte) {
  const Bytes data =
      Configuration({Interface(0, 0, 3), Endpoint(0x81, 0x02, 512), Companion(0),
                     Endpoint(0x83, 0x05, 512), Companion(0), Endpoint(0x84, 0x01, 512)});
  auto configuration = Parse(data, DescriptorWalk::Usb3);
  const UsbInterfaceSetting& setting = *configuration->Interfaces[0];
  EXPECT_NE(dynamic_cast<CLumoBulkEndPoint*>(setting.Endpoints[1]), nullptr);
  EXPECT_EQ(setting.Endpoints[2], nullptr);  // isochronous with sync bits: not made
  EXPECT_NE(dynamic_cast<CLumoIsocEndPoint*>(setting.Endpoints[3]), nullptr);
  EXPECT_EQ(setting.DescriptorsLength, 9 + 13 + 13 + 7);
}

TEST(DescriptorTree, LeadingNonInterfaceDescriptorIsSteppedOver) {
  const Bytes association = {8, 0x0B, 0, 1, 0xFF, 0, 0, 0};
  const Bytes data = Configuration({association, Interface(3, 0, 1), Endpoint(0x81, 2, 512)});
  auto configuration = Parse(data, DescriptorWalk::Usb2);
  ASSERT_EQ(configuration->InterfaceCount, 1);
  EXPECT_EQ(configuration->Interfaces[0]->bInterfaceNumber, 3);
  EXPECT_EQ(configuration->Interfaces[0]->AlternateCount, 1);
}

TEST(DescriptorTree, TwelfthForeignDescriptorUsesUpAPosition) {
  std::initializer_list<Bytes> parts = {
      Interface(0, 0, 2), ClassSpecific(), ClassSpecific(), ClassSpecific(),       ClassSpecific(),
      ClassSpecific(),    ClassSpecific(), ClassSpecific(), ClassSpecific(),       ClassSpecific(),
      ClassSpecific(),    ClassSpecific(), ClassSpecific(), Endpoint(0x81, 2, 512)};
  const Bytes data = Configuration(parts);
  // USB 3: the twelfth takes position 1, the endpoint position 2.
  auto usb3 = Parse(data, DescriptorWalk::Usb3);
  EXPECT_EQ(usb3->Interfaces[0]->Endpoints[1], nullptr);
  ASSERT_NE(usb3->Interfaces[0]->Endpoints[2], nullptr);
  EXPECT_EQ(usb3->Interfaces[0]->DescriptorsLength, 9 + 12 * 5 + 7);
  // USB 2: the walk stays on the twelfth, which uses up both positions.
  auto usb2 = Parse(data, DescriptorWalk::Usb2);
  EXPECT_EQ(usb2->Interfaces[0]->Endpoints[1], nullptr);
  EXPECT_EQ(usb2->Interfaces[0]->Endpoints[2], nullptr);
  EXPECT_EQ(usb2->Interfaces[0]->DescriptorsLength, 9 + 13 * 5);
}

TEST(DescriptorTree, InconsistentDataStaysInsideTheFetchedBytes) {
  // Total length past the data, an endpoint cut short, a zero length.
  Bytes data = Configuration({Interface(0, 0, 2), Endpoint(0x81, 2, 512)});
  data[2] = 0xFF;
  data.resize(data.size() - 3);
  auto cut = Parse(data, DescriptorWalk::Usb3);
  ASSERT_EQ(cut->InterfaceCount, 1);
  EXPECT_EQ(cut->Interfaces[0]->Endpoints[1], nullptr);

  Bytes zero = Configuration({Interface(0, 0, 1), {0, 5, 0, 0}, Endpoint(0x81, 2, 512)});
  auto stuck = Parse(zero, DescriptorWalk::Usb2);
  EXPECT_EQ(stuck->InterfaceCount, 1);
  EXPECT_EQ(stuck->Interfaces[0]->Endpoints[1], nullptr);

  // More than 31 endpoints claimed: 31 positions at most.
  Bytes many = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  const Bytes header = Interface(0, 0, 40);
  many.insert(many.end(), header.begin(), header.end());
  for (int i = 0; i < 40; ++i) {
    const Bytes endpoint = Endpoint(std::uint8_t(0x81 + (i % 15)), 2, 512);
    many.insert(many.end(), endpoint.begin(), endpoint.end());
  }
  many[2] = std::uint8_t(many.size());
  many[3] = std::uint8_t(many.size() >> 8);
  auto capped = Parse(many, DescriptorWalk::Usb2);
  EXPECT_NE(capped->Interfaces[0]->Endpoints[31], nullptr);
  EXPECT_EQ(capped->Interfaces[0]->DescriptorsLength, 9 + 31 * 7);

  const Bytes tiny = {9, 2};
  EXPECT_EQ(Parse(tiny, DescriptorWalk::Usb3)->InterfaceCount, 0);
}

TEST(DescriptorTree, BosKeepsKnownCapabilities) {
  const Bytes bos = {5,  0x0F, 22,   0,  3,  7,  0x10, 2, 0x1E, 0xF4, 0, 0,  // USB 2.0 extension
                     3,  0x10, 0x0A,                                         // unknown type 0x0A
                     20, 0x10, 4,    0,  1,  2,  3,    4, 5,    6,    7, 8,
                     9,  10,   11,   12, 13, 14, 15,   16};
  Bytes whole = bos;
  whole[2] = std::uint8_t(whole.size());
  auto set = ParseBos(whole.data(), whole.size());
  ASSERT_NE(set->Usb2Extension, nullptr);
  EXPECT_EQ(set->Usb2Extension->bmAttributes, 0xF41Eu);
  EXPECT_EQ(set->SuperSpeed, nullptr);
  ASSERT_NE(set->ContainerId, nullptr);
  EXPECT_EQ(set->ContainerId->ContainerID[0], 1);
  EXPECT_EQ(set->ContainerId->ContainerID[15], 16);
  EXPECT_EQ(set->bNumDeviceCaps, 3);

  const Bytes superSpeed = {5, 0x0F, 15, 0, 1, 10, 0x10, 3, 0, 0x0E, 0, 1, 10, 0xFF, 0x07};
  auto ss = ParseBos(superSpeed.data(), superSpeed.size());
  ASSERT_NE(ss->SuperSpeed, nullptr);
  EXPECT_EQ(ss->SuperSpeed->wSpeedsSupported, 0x0E);
  EXPECT_EQ(ss->SuperSpeed->wU2DevExitLat, 0x07FF);

  // More capabilities claimed than the data holds, and a record cut short.
  Bytes truncated = {5, 0x0F, 200, 0, 9, 20, 0x10, 4, 0, 1, 2};
  auto partial = ParseBos(truncated.data(), truncated.size());
  EXPECT_EQ(partial->ContainerId, nullptr);
}

}  // namespace
}  // namespace lumo::usb
