// Endpoint objects: request records byte for byte, packet sizes, and the
// begin / wait / abort / finish life of overlapped transfers.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/UniqueHandle.h"
#include "usb/BulkEndPoint.h"
#include "usb/ControlEndPoint.h"
#include "usb/IsocEndPoint.h"
#include "usb/RecordingDriver.h"

namespace lumo::usb {
namespace {

using test::RecordedRequest;
using test::RecordingDriver;

constexpr char kPath[] = "\\\\?\\usb#vid_04b4&pid_00f1#endpoints";

std::uint32_t Read32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

class Endpoints : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::virt::Plug(kDriverInterfaceClass, kPath, &driver));
    handle = platform::OpenDevicePath(kPath);
    ASSERT_NE(handle, platform::InvalidHandle());
  }
  void TearDown() override {
    platform::CloseHandle(handle);
    platform::virt::Unplug(kPath);
  }

  RecordedRequest LastRequest() {
    auto requests = driver.Requests();
    EXPECT_FALSE(requests.empty());
    return requests.empty() ? RecordedRequest{} : requests.back();
  }

  RecordingDriver driver;
  platform::Handle handle = platform::InvalidHandle();
};

TEST(EndpointConstruction, PacketSizeFromMultiplierBurstAndIsochronousMult) {
  const EndpointDescriptor highBandwidth{7, 5, 0x82, 1, 0x1400, 1};
  CLumoIsocEndPoint iso(platform::InvalidHandle(), &highBandwidth);
  EXPECT_EQ(iso.PacketMultiplier, 3);
  EXPECT_EQ(iso.PacketSize, 3072);
  EXPECT_TRUE(iso.InDirection);
  EXPECT_EQ(iso.CompanionLength, 0);

  const EndpointDescriptor bulk{7, 5, 0x81, 2, 1024, 0};
  const CompanionDescriptor burst{6, 0x30, 15, 0, 0};
  CLumoBulkEndPoint stream(platform::InvalidHandle(), &bulk, &burst);
  EXPECT_EQ(stream.PacketSize, 16384);
  EXPECT_EQ(stream.MaxBurst, 15);
  EXPECT_EQ(stream.TimeoutMs, 10000u);
  EXPECT_EQ(stream.DirectMode, 1u);

  // Isochronous SuperSpeed: 1024 x (burst 2 + 1) x (mult 2 + 1), 16-bit.
  const EndpointDescriptor isoSs{7, 5, 0x83, 1, 1024, 1};
  const CompanionDescriptor isoCompanion{6, 0x30, 2, 2, 9216};
  CLumoIsocEndPoint isoSuper(platform::InvalidHandle(), &isoSs, &isoCompanion);
  EXPECT_EQ(isoSuper.PacketSize, 9216);
  EXPECT_EQ(isoSuper.BytesPerInterval, 9216);
  // The same companion on a bulk endpoint ignores the mult bits.
  const EndpointDescriptor bulkOut{7, 5, 0x02, 2, 1024, 0};
  CLumoBulkEndPoint out(platform::InvalidHandle(), &bulkOut, &isoCompanion);
  EXPECT_EQ(out.PacketSize, 3072);
  EXPECT_FALSE(out.InDirection);

  CLumoControlEndPoint control(platform::InvalidHandle(), nullptr);
  EXPECT_EQ(control.DirectMode, 0u);
  EXPECT_EQ(ControlSetup{}.kind, 2);  // vendor unless a request says otherwise
  EXPECT_EQ(control.PacketMultiplier, 0);
}

TEST(EndpointConstruction, NoDriverHandleSubmitsNothing) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 512, 0};
  CLumoBulkEndPoint endpoint(platform::InvalidHandle(), &bulk);
  platform::Overlapped overlapped;
  std::uint8_t buffer[16];
  EXPECT_EQ(endpoint.BeginTransfer(buffer, 16, &overlapped), nullptr);
  EXPECT_EQ(endpoint.SubmitBuffered(buffer, 16, &overlapped), nullptr);
  RequestHandle none;
  std::uint32_t length = 16;
  EXPECT_FALSE(endpoint.FinishTransfer(buffer, &length, &overlapped, none, nullptr));
  endpoint.SetTransferLength(4096);  // does nothing, and does not fail
  std::uint32_t syncLength = 16;
  EXPECT_FALSE(endpoint.TransferSync(buffer, &syncLength, nullptr));
}

TEST_F(Endpoints, ControlRequestRecordByteForByte) {
  CLumoControlEndPoint control(handle, nullptr);
  struct Case {
    std::uint32_t recipient, deviceToHost, timeoutMs;
    std::uint8_t requestType;
    std::uint32_t seconds;
  };
  const Case cases[] = {
      {2, 1, 2000, 0xC2, 2}, {2, 0, 500, 0x42, 1}, {0, 1, 1999, 0xC0, 1}, {0, 0, 0, 0x40, 0}};
  std::size_t sent = 0;
  for (const Case& c : cases) {
    ControlSetup setup;
    setup.recipient = static_cast<std::uint8_t>(c.recipient);
    setup.deviceToHost = c.deviceToHost == 1;
    setup.timeoutMs = c.timeoutMs;
    setup.request = 0xFE;
    setup.value = 0xF000;
    setup.index = 0x1234;
    std::uint8_t payload[5] = {1, 2, 3, 4, 5};
    std::uint32_t length = sizeof(payload);
    control.ControlSync(setup, payload, &length);

    // A time limit of 0 can run out before the completion arrives; the
    // abort that follows is recorded after the control request.
    const auto controls = driver.RequestsWithCode(CODE_CONTROL_TRANSFER);
    ASSERT_EQ(controls.size(), ++sent);
    const RecordedRequest& request = controls.back();
    ASSERT_EQ(request.input.size(), 38u + 5u);
    EXPECT_EQ(request.outSize, 43u);  // one buffer in and out
    const std::uint8_t packet[8] = {c.requestType, 0xFE, 0x00, 0xF0, 0x34, 0x12, 5, 0};
    EXPECT_EQ(std::memcmp(request.input.data(), packet, 8), 0) << int(c.requestType);
    EXPECT_EQ(Read32(request.input, 8), c.seconds);
    EXPECT_EQ(request.input[12], 0);
    EXPECT_EQ(request.input[13], 0);
    EXPECT_EQ(Read32(request.input, 22), 0u);
    EXPECT_EQ(Read32(request.input, 26), 0u);
    EXPECT_EQ(Read32(request.input, 30), 38u);
    EXPECT_EQ(Read32(request.input, 34), 5u);
    EXPECT_EQ(request.input[38], 1);
    EXPECT_EQ(request.input[42], 5);
    EXPECT_EQ(control.InDirection, c.deviceToHost == 1);
  }
}

TEST_F(Endpoints, ControlInTransferCopiesTheAnswerAndReportsStatus) {
  CLumoControlEndPoint control(handle, nullptr);
  ControlSetup in;
  in.deviceToHost = true;
  driver.controlReply = {0xA0, 0xA1, 0xA2};
  std::uint8_t buffer[8] = {};
  std::uint32_t length = sizeof(buffer);
  ASSERT_TRUE(control.ControlSync(in, buffer, &length));
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(control.BytesDone, 3);
  EXPECT_EQ(buffer[2], 0xA2);
  EXPECT_EQ(buffer[3], 0);

  // A stall: the USB status word is kept and the transfer fails.
  driver.controlUsbStatus = 0xC0000004;
  driver.controlError = platform::kErrorGenFailure;
  length = sizeof(buffer);
  EXPECT_FALSE(control.ControlSync(in, buffer, &length));
  EXPECT_EQ(control.BusStatus, 0xC0000004u);

  // WriteSync always sends host to device.
  driver.controlUsbStatus = 0;
  driver.controlError = 0;
  length = 2;
  EXPECT_TRUE(control.WriteSync(in, buffer, &length));
  EXPECT_EQ(LastRequest().input[0] & 0x80, 0);
}

TEST_F(Endpoints, BufferedInCopiesDataBehindTheOffsetDirectCopiesNothing) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 512, 0};
  CLumoBulkEndPoint endpoint(handle, &bulk);
  platform::UniqueHandle event(platform::CreateEventObject(false, false));

  endpoint.DirectMode = 0;
  platform::Overlapped buffered;
  buffered.event = event.get();
  std::vector<std::uint8_t> target(100, 0);
  RequestHandle request = endpoint.BeginTransfer(target.data(), 100, &buffered);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(endpoint.OsError, platform::kErrorIoPending);
  RecordedRequest sent = LastRequest();
  EXPECT_EQ(sent.code, CODE_BUFFERED_TRANSFER);
  EXPECT_EQ(sent.input.size(), 138u);
  EXPECT_EQ(sent.input[13], 0x81);
  EXPECT_EQ(Read32(sent.input, 30), 38u);
  EXPECT_EQ(Read32(sent.input, 34), 100u);
  driver.Finish(sent, 0, std::vector<std::uint8_t>(100, 0x5A));
  ASSERT_TRUE(endpoint.WaitTransfer(&buffered, 2000));
  std::uint32_t length = 0;
  ASSERT_TRUE(endpoint.FinishTransfer(target.data(), &length, &buffered, request, nullptr));
  EXPECT_EQ(request, nullptr);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(target[99], 0x5A);

  endpoint.DirectMode = 1;
  platform::Overlapped direct;
  direct.event = event.get();
  std::vector<std::uint8_t> data(4096, 0);
  request = endpoint.BeginTransfer(data.data(), 4096, &direct);
  sent = LastRequest();
  EXPECT_EQ(sent.code, CODE_DIRECT_TRANSFER);
  EXPECT_EQ(sent.input.size(), 38u);
  EXPECT_EQ(sent.outSize, 4096u);
  EXPECT_EQ(Read32(sent.input, 30), 0u);
  EXPECT_EQ(Read32(sent.input, 34), 0u);
  driver.Finish(sent, 0, std::vector<std::uint8_t>(1500, 0x77));
  ASSERT_TRUE(endpoint.WaitTransfer(&direct, 2000));
  ASSERT_TRUE(endpoint.FinishTransfer(data.data(), &length, &direct, request, nullptr));
  EXPECT_EQ(length, 1500u);
  EXPECT_EQ(data[1499], 0x77);
  EXPECT_EQ(data[1500], 0);
}

TEST_F(Endpoints, IsochronousRecordsCarryAPacketTable) {
  const EndpointDescriptor iso{7, 5, 0x83, 1, 1024, 1};
  CLumoIsocEndPoint endpoint(handle, &iso);
  platform::UniqueHandle event(platform::CreateEventObject(false, false));
  platform::Overlapped overlapped;
  overlapped.event = event.get();
  std::vector<std::uint8_t> data(5000);
  RequestHandle request = endpoint.SubmitDirect(data.data(), 5000, &overlapped);
  RecordedRequest sent = LastRequest();
  EXPECT_EQ(sent.input.size(), 38u + 40u);
  EXPECT_EQ(Read32(sent.input, 22), 38u);
  EXPECT_EQ(Read32(sent.input, 26), 40u);
  driver.Finish(sent, 0, {1});
  endpoint.WaitTransfer(&overlapped, 2000);
  std::uint32_t length = 0;
  endpoint.FinishTransfer(data.data(), &length, &overlapped, request, nullptr);

  RequestHandle buffered = endpoint.SubmitBuffered(data.data(), 2048, &overlapped);
  sent = LastRequest();
  EXPECT_EQ(sent.input.size(), 38u + 16u + 2048u);
  EXPECT_EQ(Read32(sent.input, 30), 54u);
  EXPECT_EQ(Read32(sent.input, 34), 2048u);
  driver.Finish(sent, 0, {});
  endpoint.WaitTransfer(&overlapped, 2000);
  endpoint.FinishTransfer(data.data(), &length, &overlapped, buffered, nullptr);

  EXPECT_EQ(endpoint.SubmitDirect(data.data(), 0, &overlapped), nullptr);
  endpoint.PacketSize = 0;
  EXPECT_EQ(endpoint.SubmitDirect(data.data(), 100, &overlapped), nullptr);
}

TEST_F(Endpoints, SetTransferLengthRoundsUpToWholePackets) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 512, 0};
  CLumoBulkEndPoint endpoint(handle, &bulk);
  const std::pair<std::uint16_t, std::uint32_t> cases[] = {{512, 4096}, {1024, 4096}, {1000, 5000}};
  for (const auto& [packet, expected] : cases) {
    endpoint.PacketSize = packet;
    endpoint.SetTransferLength(4096);
    const RecordedRequest sent = LastRequest();
    EXPECT_EQ(sent.code, CODE_SET_TRANSFER_LENGTH);
    ASSERT_EQ(sent.input.size(), 5u);
    EXPECT_EQ(sent.input[0], 0x81);
    EXPECT_EQ(Read32(sent.input, 1), expected);
    EXPECT_FALSE(sent.overlapped);
  }
  const std::size_t before = driver.Requests().size();
  endpoint.PacketSize = 0;
  endpoint.SetTransferLength(4096);
  EXPECT_EQ(driver.Requests().size(), before);
}

TEST_F(Endpoints, UnfinishedRequestKeepsItsRecordUntilTheDriverIsDone) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 1024, 0};
  CLumoBulkEndPoint endpoint(handle, &bulk);
  platform::UniqueHandle event(platform::CreateEventObject(false, false));
  platform::Overlapped overlapped;
  overlapped.event = event.get();
  std::vector<std::uint8_t> data(4096);
  RequestHandle request = endpoint.BeginTransfer(data.data(), 4096, &overlapped);
  EXPECT_FALSE(endpoint.WaitTransfer(&overlapped, 10));
  std::uint32_t length = 0;
  EXPECT_FALSE(endpoint.FinishTransfer(data.data(), &length, &overlapped, request, nullptr));
  ASSERT_NE(request, nullptr);  // still the caller's, still alive

  driver.Finish(LastRequest(), 0, std::vector<std::uint8_t>(4096, 1));
  ASSERT_TRUE(endpoint.WaitTransfer(&overlapped, 2000));
  EXPECT_TRUE(endpoint.FinishTransfer(data.data(), &length, &overlapped, request, nullptr));
  EXPECT_EQ(length, 4096u);

  // Dropping an unfinished request cancels it and waits for the driver.
  RequestHandle dropped = endpoint.BeginTransfer(data.data(), 4096, &overlapped);
  dropped.reset();
  EXPECT_EQ(driver.RequestsWithCode(CODE_ABORT_ENDPOINT).size(), 1u);
  EXPECT_NE(overlapped.internal.load(), platform::kStatusPending);
}

TEST_F(Endpoints, WaitTransferFailsAtOnceOnASubmitError) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 1024, 0};
  CLumoBulkEndPoint endpoint(handle, &bulk);
  endpoint.OsError = platform::kErrorGenFailure;
  platform::UniqueHandle event(platform::CreateEventObject(false, false));
  platform::Overlapped overlapped;
  overlapped.event = event.get();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(endpoint.WaitTransfer(&overlapped, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  endpoint.OsError = 0;
  EXPECT_TRUE(endpoint.WaitTransfer(&overlapped, 0));
}

TEST_F(Endpoints, AbortCancelsEveryOutstandingTransfer) {
  const EndpointDescriptor bulk{7, 5, 0x81, 2, 1024, 0};
  CLumoBulkEndPoint endpoint(handle, &bulk);
  constexpr int kCount = 64;
  std::vector<platform::UniqueHandle> events;
  std::vector<platform::Overlapped> overlapped(kCount);
  std::vector<RequestHandle> requests;
  std::vector<std::uint8_t> data(kCount * 4096);
  for (int i = 0; i < kCount; ++i) {
    events.emplace_back(platform::CreateEventObject(false, false));
    overlapped[i].event = events.back().get();
    requests.push_back(endpoint.BeginTransfer(&data[i * 4096], 4096, &overlapped[i]));
    ASSERT_EQ(endpoint.DriverStatus, 0u);
    ASSERT_EQ(endpoint.BusStatus, 0u);
  }
  EXPECT_TRUE(endpoint.AbortPending());
  for (int i = 0; i < kCount; ++i) {
    EXPECT_TRUE(endpoint.WaitTransfer(&overlapped[i], 2000));
    std::uint32_t length = 0;
    EXPECT_FALSE(
        endpoint.FinishTransfer(&data[i * 4096], &length, &overlapped[i], requests[i], nullptr));
    EXPECT_EQ(platform::LastError(), platform::kErrorOperationAborted);
    EXPECT_EQ(requests[i], nullptr);
  }
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

TEST_F(Endpoints, TransferSyncCancelsAfterItsTimeLimit) {
  CLumoControlEndPoint control(handle, nullptr);
  driver.answerControl = false;  // the device never answers
  ControlSetup setup;
  setup.timeoutMs = 100;
  setup.deviceToHost = true;
  std::uint8_t buffer[16];
  std::uint32_t length = sizeof(buffer);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(control.ControlSync(setup, buffer, &length));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  const auto aborts = driver.RequestsWithCode(CODE_ABORT_ENDPOINT);
  ASSERT_GE(aborts.size(), 1u);
  EXPECT_EQ(aborts[0].endpoint, 0);
  EXPECT_EQ(platform::virt::OutstandingRequestCount(), 0u);
}

}  // namespace
}  // namespace lumo::usb
