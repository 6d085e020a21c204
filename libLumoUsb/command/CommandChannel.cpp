#include "command/CommandChannel.h"

#include "command/ResponseReceiver.h"

namespace lumo::command {

namespace {

// A control endpoint on the camera's driver handle, set up as endpoint zero.
std::unique_ptr<usb::CLumoControlEndPoint> MakeEndpointZero(platform::Handle driverHandle,
                                                            std::uint16_t packetSize) {
  auto endpoint = std::make_unique<usb::CLumoControlEndPoint>(driverHandle, nullptr);
  endpoint->DescriptorLength = 7;
  endpoint->DescriptorType = 5;
  endpoint->EndpointAddress = 0;
  endpoint->EndpointAttributes = 0;
  endpoint->PacketSize = packetSize;
  endpoint->PollInterval = 0;
  return endpoint;
}

}  // namespace

const ChannelGate& ClosedGate() {
  struct Closed final : ChannelGate {
    bool IsOpen() const override { return false; }
    bool IsAway() const override { return false; }
  };
  static const Closed gate;
  return gate;
}

CommandChannel::~CommandChannel() {
  WakeWaiters();
  StopReader();
}

void CommandChannel::MakeEndpoints(platform::Handle driverHandle, std::uint16_t ep0PacketSize) {
  std::lock_guard<platform::TimedMutex> turn(commandLock);
  if (!responseEndpoint) responseEndpoint = MakeEndpointZero(driverHandle, ep0PacketSize);
  if (!commandEndpoint) commandEndpoint = MakeEndpointZero(driverHandle, ep0PacketSize);
}

void CommandChannel::StartReader() {
  if (responseReaderThread.joinable()) responseReaderThread.join();
  responseReaderRunning = true;
  responseReaderThread = std::thread(RunResponseReader, this);
}

void CommandChannel::ForgetAnswers() {
  {
    // An answer stored before the removal must not be taken for a request
    // sent after it.
    std::lock_guard<std::mutex> lock(responseLock);
    responseStore.clear();
    responseArrived = false;
    awaitedAddress = 0;
  }
  // A frame cut short by the removal is dropped.
  rxState = kReceiveIdle;
}

void CommandChannel::WakeWaiters() {
  {
    std::lock_guard<std::mutex> lock(responseLock);
    responseCondition.notify_all();
  }
  std::lock_guard<std::mutex> lock(bufferLock);
  bufferCondition.notify_all();
}

void CommandChannel::StopReader() {
  if (!responseReaderRunning.load()) return;
  responseReaderRunning = false;
  if (responseReaderThread.joinable()) responseReaderThread.join();
  responseEndpoint.reset();
  std::lock_guard<platform::TimedMutex> turn(commandLock);
  commandEndpoint.reset();
}

}  // namespace lumo::command
