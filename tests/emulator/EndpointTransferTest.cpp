// Transfers on the emulated camera's other endpoints: pending IN requests
// completed by pushed data, OUT requests, aborts, unplugging, closing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "EmulatorTestSupport.h"

namespace lumo::test {
namespace {

using emulator::DescriptorSet;
using emulator::EmulatedDevice;

class CameraEndpointTest : public EmulatedDeviceTest {
 protected:
  void SetUp() override { Open(EmulatedDevice::Camera("STREAM")); }
};

TEST_F(CameraEndpointTest, PushedBlocksCompleteDirectReadsInOrder) {
  std::vector<std::unique_ptr<Overlapped>> reads;
  for (int i = 0; i < 4; ++i) {
    reads.push_back(std::make_unique<Overlapped>());
    ASSERT_TRUE(reads.back()->Direct(handle, 0x81, 1024));
  }
  EXPECT_EQ(device->PendingTransfers(0x81), 4u);
  EXPECT_FALSE(reads[0]->Finished());

  const auto full = Pattern(1024, 1);
  const auto shortBlock = Pattern(100, 2);
  const auto longBlock = Pattern(1500, 3);
  device->PushInData(0x81, full);
  device->PushInData(0x81, shortBlock);
  device->PushInData(0x81, longBlock);  // fills read 2, then begins read 3

  Reply r = reads[0]->Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 1024u);
  EXPECT_EQ(reads[0]->data, full);

  r = reads[1]->Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 100u);  // short transfer
  EXPECT_EQ(std::vector<std::uint8_t>(reads[1]->data.begin(), reads[1]->data.begin() + 100),
            shortBlock);

  r = reads[2]->Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 1024u);
  EXPECT_EQ(reads[2]->data, std::vector<std::uint8_t>(longBlock.begin(), longBlock.begin() + 1024));

  r = reads[3]->Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 476u);
  EXPECT_EQ(std::vector<std::uint8_t>(reads[3]->data.begin(), reads[3]->data.begin() + 476),
            std::vector<std::uint8_t>(longBlock.begin() + 1024, longBlock.end()));
  EXPECT_EQ(device->PendingTransfers(0x81), 0u);
  EXPECT_EQ(device->QueuedInBytes(0x81), 0u);
}

TEST_F(CameraEndpointTest, DataPushedBeforeARequestWaitsForIt) {
  device->PushInData(0x81, Pattern(300, 9));
  EXPECT_EQ(device->QueuedInBytes(0x81), 300u);
  Overlapped read;
  ASSERT_TRUE(read.Direct(handle, 0x81, 200));
  Reply r = read.Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 200u);
  EXPECT_EQ(device->QueuedInBytes(0x81), 100u);
}

TEST_F(CameraEndpointTest, BufferedReadsCountTheDataOffset) {
  Overlapped read;
  ASSERT_TRUE(read.Buffered(handle, 0x81, 512));
  const auto block = Pattern(300, 4);
  device->PushInData(0x81, block);
  const Reply r = read.Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, kHeader + 300);
  EXPECT_EQ(
      std::vector<std::uint8_t>(read.record.begin() + kHeader, read.record.begin() + kHeader + 300),
      block);
  EXPECT_EQ(Get32(read.record, 18), 0u);
}

TEST_F(CameraEndpointTest, RequestsToMissingEndpointsStall) {
  for (std::uint8_t endpoint : {0x82, 0x01}) {
    Overlapped request;
    ASSERT_TRUE(request.Buffered(handle, endpoint, 64));
    EXPECT_EQ(request.Wait(handle).error, platform::kErrorGenFailure);
    EXPECT_EQ(Get32(request.record, 18), emulator::kStallUsbStatus);
  }
  // Endpoint zero is reached through the control code only.
  Overlapped zero;
  ASSERT_TRUE(zero.Direct(handle, 0x00, 64));
  EXPECT_EQ(zero.Wait(handle).error, platform::kErrorInvalidParameter);
}

TEST_F(CameraEndpointTest, AbortCompletesEveryPendingRequestOfTheEndpoint) {
  std::vector<std::unique_ptr<Overlapped>> reads;
  for (int i = 0; i < 64; ++i) {
    reads.push_back(std::make_unique<Overlapped>());
    ASSERT_TRUE(reads.back()->Direct(handle, 0x81, 4096));
  }
  ASSERT_EQ(device->PendingTransfers(0x81), 64u);

  std::vector<std::uint8_t> other = {0x82};  // nothing pending there
  EXPECT_TRUE(InOut(handle, kAbort, other).ok);
  EXPECT_FALSE(reads[0]->Finished());

  std::uint8_t endpoint = 0x81;
  std::uint32_t bytes = 0;
  ASSERT_TRUE(platform::IoControl(handle, kAbort, &endpoint, 1, nullptr, 0, &bytes, nullptr));
  for (auto& read : reads) {
    const Reply r = read->Wait(handle);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, platform::kErrorOperationAborted);
  }
  EXPECT_EQ(device->PendingTransfers(0x81), 0u);
  EXPECT_EQ(device->AbortedTransfers(), 64u);

  // The endpoint works again afterwards.
  Overlapped again;
  ASSERT_TRUE(again.Direct(handle, 0x81, 16));
  device->PushInData(0x81, Pattern(16, 5));
  EXPECT_TRUE(again.Wait(handle).ok);
}

TEST_F(CameraEndpointTest, UnplugFailsPendingRequests) {
  std::vector<std::unique_ptr<Overlapped>> reads;
  for (int i = 0; i < 5; ++i) {
    reads.push_back(std::make_unique<Overlapped>());
    ASSERT_TRUE(reads.back()->Direct(handle, 0x81, 256));
  }
  ASSERT_TRUE(device->Unplug());
  for (auto& read : reads) EXPECT_EQ(read->Wait(handle).error, platform::kErrorGenFailure);
  EXPECT_EQ(device->PendingTransfers(0x81), 0u);
  std::vector<std::uint8_t> b(4);
  EXPECT_FALSE(InOut(handle, kInfoA, b).ok);

  // Plugged again, the device serves a new handle from a clean state.
  ASSERT_TRUE(device->Plug());
  platform::Handle fresh = platform::OpenDevicePath(device->Path());
  Overlapped read;
  ASSERT_TRUE(read.Direct(fresh, 0x81, 256));
  device->PushInData(0x81, Pattern(64, 6));
  const Reply r = read.Wait(fresh);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 64u);
  platform::CloseHandle(fresh);
}

TEST_F(CameraEndpointTest, DataSkipsRequestsOfAClosedHandle) {
  platform::Handle second = platform::OpenDevicePath(device->Path());
  auto cancelled = std::make_unique<Overlapped>();
  ASSERT_TRUE(cancelled->Direct(second, 0x81, 128));
  Overlapped kept;
  ASSERT_TRUE(kept.Direct(handle, 0x81, 128));
  platform::CloseHandle(second);  // the backend cancels the first request

  const auto block = Pattern(128, 7);
  device->PushInData(0x81, block);
  const Reply r = kept.Wait(handle);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(kept.data, block);
}

// A device with bulk OUT 0x02 and isochronous IN 0x83 (3 x 1024 bytes).
DescriptorSet OutAndIsochronous() {
  DescriptorSet set = emulator::CameraDescriptors("ISO");
  set.configurations[0] = {9,    2,    32, 0,    1, 1,    0,    0x80, 50,   9,    4,
                           0,    0,    2,  0xFF, 0, 0,    0,    7,    5,    0x02, 0x02,
                           0x00, 0x04, 0,  7,    5, 0x83, 0x01, 0x00, 0x04, 1};
  return set;
}

TEST(EmulatedOutTest, OutRequestsAreAcceptedAndRecorded) {
  auto device = std::make_unique<EmulatedDevice>(emulator::DeviceIdentity{0x04B4, 0x00F1, "OUT"},
                                                 OutAndIsochronous());
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());

  auto record = TransferRecord(0x02, true, 0);
  auto payload = Pattern(100, 3);
  platform::Overlapped state;
  ASSERT_FALSE(platform::IoControl(handle, kDirect, record.data(), kHeader, payload.data(), 100,
                                   nullptr, &state));
  std::uint32_t bytes = 0;
  ASSERT_TRUE(platform::OverlappedResult(handle, &state, &bytes, true));
  EXPECT_EQ(bytes, 100u);

  auto buffered = TransferRecord(0x02, false, 20);
  for (std::uint32_t i = 0; i < 20; ++i) buffered[kHeader + i] = static_cast<std::uint8_t>(i);
  const Reply reply = InOut(handle, kBuffered, buffered);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.bytes, kHeader + 20);

  const auto sent = device->TakeOutData(0x02);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], payload);
  EXPECT_EQ(sent[1], std::vector<std::uint8_t>(buffered.begin() + kHeader, buffered.end()));
  EXPECT_TRUE(device->TakeOutData(0x02).empty());
  platform::CloseHandle(handle);
}

TEST(EmulatedOutTest, IsochronousReadsFillThePacketTable) {
  auto device = std::make_unique<EmulatedDevice>(emulator::DeviceIdentity{0x04B4, 0x00F1, "ISO"},
                                                 OutAndIsochronous());
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());

  // Header, a table of 3 packets, 3 x 1024 bytes of data.
  constexpr std::uint32_t kTable = 3 * 8;
  std::vector<std::uint8_t> record(kHeader + kTable + 3072, 0xEE);
  std::fill(record.begin(), record.begin() + kHeader, 0);
  record[13] = 0x83;
  Put32(record, 22, kHeader);
  Put32(record, 26, kTable);
  Put32(record, 30, kHeader + kTable);
  Put32(record, 34, 3072);
  platform::Overlapped state;
  ASSERT_FALSE(platform::IoControl(handle, kBuffered, record.data(),
                                   static_cast<std::uint32_t>(record.size()), record.data(),
                                   static_cast<std::uint32_t>(record.size()), nullptr, &state));
  device->PushInData(0x83, Pattern(1500, 8));
  std::uint32_t bytes = 0;
  ASSERT_TRUE(platform::OverlappedResult(handle, &state, &bytes, true));
  EXPECT_EQ(bytes, kHeader + kTable + 1500);
  EXPECT_EQ(Get32(record, kHeader), 1024u);
  EXPECT_EQ(Get32(record, kHeader + 4), 0u);
  EXPECT_EQ(Get32(record, kHeader + 8), 476u);
  EXPECT_EQ(Get32(record, kHeader + 16), 0u);
  platform::CloseHandle(handle);
}

TEST(EmulatedStreamTest, ConcurrentReadersAndPusherLoseNothing) {
  auto device = EmulatedDevice::Camera("THREADS");
  ASSERT_TRUE(device->Plug());
  platform::Handle handle = platform::OpenDevicePath(device->Path());
  constexpr int kPerReader = 150;
  std::atomic<std::uint64_t> received{0};
  auto reader = [&] {
    for (int i = 0; i < kPerReader; ++i) {
      Overlapped read;
      ASSERT_TRUE(read.Direct(handle, 0x81, 64));
      const Reply r = read.Wait(handle);
      ASSERT_TRUE(r.ok);
      received += r.bytes;
    }
  };
  std::thread a(reader);
  std::thread b(reader);
  for (int i = 0; i < 2 * kPerReader; ++i) device->PushInData(0x81, Pattern(64, 1));
  a.join();
  b.join();
  EXPECT_EQ(received.load(), 2u * kPerReader * 64);
  EXPECT_EQ(device->QueuedInBytes(0x81), 0u);
  platform::CloseHandle(handle);
}

}  // namespace
}  // namespace lumo::test
