// The camera's outgoing stream: where IN transfers cut it, and the faults
// tests inject into answers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "CommandChannelSupport.h"

namespace lumo::test {
namespace {

using emulator::Fault;
using emulator::FaultKind;
using emulator::FaultTarget;
using emulator::InSplit;
using Clock = std::chrono::steady_clock;

TEST_F(CommandChannelTest, OnePollTakesEverythingUpTo2048Bytes) {
  for (std::uint32_t a = 0; a < 5; ++a) ASSERT_TRUE(Send(ReadFrame(0x100 + 4 * a)).ok);
  const Bytes all = Poll();
  decoder.Feed(all);
  ASSERT_EQ(decoder.frames.size(), 5u);
  for (std::uint32_t a = 0; a < 5; ++a) EXPECT_EQ(decoder.frames[a].address, 0x100u + 4 * a);

  // Twelve 200-byte loopbacks (over 2400 bytes): a poll never exceeds 2048,
  // even when it asks for more, nor wLength when it asks for less.
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(Send(BufferFrame(Pattern(200, 0x7D))).ok);
  const std::size_t queued = Firmware().QueuedBytes();
  ASSERT_GT(queued, 2048u + 3u);
  decoder = StreamDecoder();
  Bytes got = Poll(3);
  EXPECT_EQ(got.size(), 3u);
  decoder.Feed(got);
  got = Poll(4096);
  EXPECT_EQ(got.size(), 2048u);
  decoder.Feed(got);
  EXPECT_EQ(Firmware().QueuedBytes(), queued - 3 - 2048);
  const auto f = Receive(12);
  ASSERT_EQ(f.size(), 12u);
  for (const auto& frame : f) EXPECT_EQ(frame.data, Pattern(200, 0x7D));
}

TEST_F(CommandChannelTest, ChunkedPollsCutFramesThatReassemble) {
  Firmware().SetInSplit(InSplit::Chunks(5));
  std::vector<Bytes> written;
  for (std::uint8_t i = 0; i < 10; ++i) {
    written.push_back(Pattern(i * 3u, static_cast<std::uint8_t>(0x7C + i)));
    ASSERT_TRUE(Send(WriteFrame(0x40 + i, written.back())).ok);
  }
  const auto f = Receive(10);
  ASSERT_EQ(f.size(), 10u);
  for (std::uint8_t i = 0; i < 10; ++i) {
    EXPECT_EQ(f[i].address, 0x40u + i);
    EXPECT_EQ(f[i].data, written[i]);
    EXPECT_TRUE(f[i].checkOk);
  }
  for (std::size_t n : chunks) EXPECT_LE(n, 5u);
  EXPECT_GT(chunks.size(), 20u);
  EXPECT_TRUE(Poll().empty());
}

TEST_F(CommandChannelTest, RandomSplitIsBoundedAndRepeatsWithItsSeed) {
  auto run = [&] {
    Firmware().SetInSplit(InSplit::Random(7, 40, 2));
    for (int i = 0; i < 20; ++i)
      EXPECT_TRUE(Send(BufferFrame(Pattern(100, static_cast<std::uint8_t>(i)))).ok);
    decoder = StreamDecoder();
    chunks.clear();
    const auto f = Receive(20);
    EXPECT_EQ(f.size(), 20u);
    for (std::size_t i = 0; i < f.size(); ++i)
      EXPECT_EQ(f[i].data, Pattern(100, static_cast<std::uint8_t>(i)));
    return chunks;
  };
  const auto first = run();
  for (std::size_t n : first) EXPECT_LE(n, 40u);
  EXPECT_GT(std::set<std::size_t>(first.begin(), first.end()).size(), 5u) << "the cuts vary";
  EXPECT_EQ(run(), first);
}

class FaultTest : public CommandChannelTest {
 protected:
  // Sends reads of `addresses`; returns every frame decoded so far.
  std::vector<WireFrame> ReadAll(const std::vector<std::uint32_t>& addresses) {
    for (std::uint32_t a : addresses) EXPECT_TRUE(Send(ReadFrame(a)).ok);
    return Receive(decoder.frames.size() + addresses.size());
  }
};

TEST_F(FaultTest, CorruptCheckSpoilsTheNextAnswersCheckByte) {
  Firmware().InjectFault(Fault::Next(FaultKind::kCorruptCheck));
  const auto f = ReadAll({0x10, 0x14});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_TRUE(f[0].hasCheck);
  EXPECT_FALSE(f[0].checkOk);
  EXPECT_EQ(f[0].address, 0x10u);
  EXPECT_TRUE(f[1].checkOk);
  EXPECT_EQ(Firmware().ActiveFaults(), 0u);
}

TEST_F(FaultTest, CorruptCheckWaitsForAFrameWithACheckByte) {
  Firmware().InjectFault(Fault::Next(FaultKind::kCorruptCheck));
  ASSERT_TRUE(Send(BufferFrame({1})).ok);
  auto f = Receive(1);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].data, Bytes{1});
  EXPECT_EQ(Firmware().ActiveFaults(), 1u);
  f = ReadAll({0x10});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_FALSE(f[1].checkOk);
}

TEST_F(FaultTest, DroppedAnswersNeverArrive) {
  Firmware().InjectFault(Fault::Next(FaultKind::kDropAnswer, 2));
  const auto f = ReadAll({0x10, 0x14, 0x18});
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].address, 0x18u);
  const auto counters = Firmware().Counters();
  EXPECT_EQ(counters.answersDropped, 2u);
  EXPECT_EQ(counters.answersSent, 1u);
  EXPECT_EQ(counters.framesRejected, 0u);
}

TEST_F(FaultTest, WrongAddressAnswersCarryAnotherAddress) {
  Fault chosen = Fault::Next(FaultKind::kWrongAddress);
  chosen.address = 0x1234;
  Firmware().InjectFault(Fault::Next(FaultKind::kWrongAddress));
  ReadAll({0x10, 0x14, 0x18});
  Firmware().InjectFault(chosen);
  const auto g = ReadAll({0x20});
  ASSERT_EQ(g.size(), 4u);
  EXPECT_EQ(g[0].address, 0x80000010u);
  EXPECT_EQ(g[1].address, 0x14u);
  EXPECT_EQ(g[3].address, 0x1234u);
  for (const auto& frame : g) EXPECT_TRUE(frame.checkOk);
}

TEST_F(FaultTest, VersionBitsAreSetInTheControlByte) {
  Fault fault = Fault::Next(FaultKind::kVersionBits);
  fault.version = 2;
  Firmware().InjectFault(fault);
  const auto f = ReadAll({0x10, 0x14});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].version, 2);
  EXPECT_EQ(f[0].control, 0x53);
  EXPECT_TRUE(f[0].checkOk);
  EXPECT_EQ(f[1].version, 0);
}

TEST_F(FaultTest, StrayBytesPrecedeTheFlag) {
  Firmware().InjectFault(Fault::Next(FaultKind::kStrayBytes));
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  ASSERT_TRUE(Send(ReadFrame(0x14)).ok);
  const Bytes stream = Poll();
  ASSERT_GE(stream.size(), 4u);
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 4), (Bytes{0x55, 0x7D, 0x00, 0x7E}));
  decoder.Feed(stream);
  ASSERT_EQ(decoder.frames.size(), 2u);
  EXPECT_EQ(decoder.frames[0].strayBefore, 3u);
  EXPECT_EQ(decoder.frames[0].address, 0x10u);
  EXPECT_EQ(decoder.frames[1].strayBefore, 0u);
}

TEST_F(FaultTest, DelayedAnswersArriveLateAndAreOvertaken) {
  Fault fault = Fault::Next(FaultKind::kDelay);
  fault.delay = std::chrono::milliseconds(600);  // long enough to outlast both sends
  Firmware().InjectFault(fault);
  const auto sent = Clock::now();
  auto f = ReadAll({0x10, 0x14});
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].address, 0x14u);
  EXPECT_GT(Firmware().QueuedBytes(), 0u);
  ASSERT_TRUE(Firmware().WaitUntilNothingDelayed(std::chrono::seconds(5)));
  decoder.Feed(Poll());
  ASSERT_EQ(decoder.frames.size(), 2u);
  EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(600));
  EXPECT_EQ(decoder.frames[1].address, 0x10u);
  EXPECT_EQ(Firmware().QueuedBytes(), 0u);
}

TEST_F(FaultTest, DelayedAnswerDoesNotCutIntoAFrameBeingSent) {
  // The delayed answer comes due while the next one is half sent; the half
  // sent one is finished first.
  Firmware().SetInSplit(InSplit::Chunks(4));
  Fault fault = Fault::Next(FaultKind::kDelay);
  fault.delay = std::chrono::milliseconds(300);
  Firmware().InjectFault(fault);
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  ASSERT_TRUE(Send(WriteFrame(0x14, Pattern(40, 0))).ok);
  decoder.Feed(Poll());
  ASSERT_TRUE(Firmware().WaitUntilNothingDelayed(std::chrono::seconds(5)));
  const auto f = Receive(2);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].address, 0x14u);
  EXPECT_EQ(f[1].address, 0x10u);
  EXPECT_EQ(decoder.broken, 0u);
}

TEST_F(FaultTest, StatusFramesCarryAStatusByte) {
  Fault fault = Fault::Next(FaultKind::kStatusFrame);
  fault.status = 0x7E;
  Firmware().SetRegister(0x10, {1, 2});
  Firmware().InjectFault(fault);
  const auto f = ReadAll({0x10, 0x10});
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].type, 3);
  ASSERT_TRUE(f[0].status.has_value());
  EXPECT_EQ(*f[0].status, 0x7E);
  EXPECT_EQ(f[0].address, 0x10u);
  EXPECT_EQ(f[0].data, (Bytes{1, 2}));
  EXPECT_TRUE(f[0].checkOk);
  EXPECT_EQ(f[1].type, 2);
  EXPECT_FALSE(f[1].status.has_value());
}

TEST_F(FaultTest, AddressesOfOtherWidths) {
  struct Case {
    std::uint8_t width;
    std::uint32_t upper;
    std::uint64_t expected;
  };
  const Case cases[] = {{2, 0, 0x5678},
                        {6, 0, 0x12345678},
                        {6, 0xABCD, 0xABCD12345678},
                        {8, 0, 0x12345678},
                        {8, 0x01020304, 0x0102030412345678}};
  for (const Case& c : cases) {
    Fault fault = Fault::Next(FaultKind::kAddressWidth);
    fault.addressBytes = c.width;
    fault.upperAddress = c.upper;
    Firmware().InjectFault(fault);
    ASSERT_TRUE(Send(ReadFrame(0x12345678)).ok);
  }
  const auto f = Receive(std::size(cases));
  ASSERT_EQ(f.size(), std::size(cases));
  for (std::size_t i = 0; i < f.size(); ++i) {
    EXPECT_EQ(f[i].addressBytes, cases[i].width) << i;
    EXPECT_EQ(f[i].address, cases[i].expected) << i;
    EXPECT_EQ(f[i].data, Bytes(4, 0)) << i;
    EXPECT_TRUE(f[i].checkOk) << i;
  }
}

TEST_F(FaultTest, TargetsSeparateRegisterAndBufferAnswers) {
  Fault fault = Fault::Next(FaultKind::kDropAnswer);
  fault.target = FaultTarget::kBufferAnswers;
  Firmware().InjectFault(fault);
  ASSERT_TRUE(Send(ReadFrame(0x10)).ok);
  ASSERT_TRUE(Send(BufferFrame({1})).ok);
  ASSERT_TRUE(Send(BufferFrame({2})).ok);
  fault.target = FaultTarget::kRegisterAnswers;
  Firmware().InjectFault(fault);
  ASSERT_TRUE(Send(BufferFrame({3})).ok);
  ASSERT_TRUE(Send(ReadFrame(0x14)).ok);
  // Injected buffer data is no answer: faults leave it alone.
  Firmware().InjectFault(Fault::Next(FaultKind::kDropAnswer));
  Firmware().InjectBufferData({4});
  const auto f = Receive(5);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].address, 0x10u);
  EXPECT_EQ(f[1].data, Bytes{2});
  EXPECT_EQ(f[2].data, Bytes{3});
  EXPECT_EQ(f[3].data, Bytes{4});
  EXPECT_EQ(Firmware().ActiveFaults(), 1u);
}

TEST_F(FaultTest, RandomFaultsRepeatWithTheirSeedAndStopAtTheirCount) {
  std::vector<std::uint32_t> addresses;
  for (std::uint32_t i = 0; i < 60; ++i) addresses.push_back(0x1000 + 4 * i);
  auto answered = [&] {
    decoder = StreamDecoder();
    std::vector<std::uint64_t> got;
    for (const auto& frame : ReadAll(addresses)) got.push_back(frame.address);
    return got;
  };
  Firmware().InjectFault(Fault::Random(FaultKind::kDropAnswer, 0.5, 42));
  const auto first = answered();
  EXPECT_GT(first.size(), 10u);
  EXPECT_LT(first.size(), 50u);
  Firmware().ClearFaults();
  Firmware().InjectFault(Fault::Random(FaultKind::kDropAnswer, 0.5, 42));
  EXPECT_EQ(answered(), first);
  Firmware().ClearFaults();
  Firmware().InjectFault(Fault::Random(FaultKind::kDropAnswer, 0.5, 43));
  EXPECT_NE(answered(), first);
  Firmware().ClearFaults();

  Firmware().InjectFault(Fault::Random(FaultKind::kDropAnswer, 0.5, 42, 3));
  EXPECT_EQ(answered().size(), addresses.size() - 3);
  EXPECT_EQ(Firmware().ActiveFaults(), 0u);
}

TEST_F(FaultTest, FaultsChangeWhileHostThreadsSendAndPoll) {
  // Two senders, one poller, and this thread injecting faults: every answer
  // still arrives whole, and the counters agree with what was received.
  Firmware().SetInSplit(InSplit::Random(3, 64));
  constexpr std::uint64_t kAnswers = 300;  // 150 from each sender
  std::vector<WireFrame> received;
  std::thread poller([&] {
    StreamDecoder mine;
    while (mine.frames.size() < kAnswers) {
      const std::uint64_t queued = Firmware().Counters().answersSent;
      const Bytes got = Poll();
      mine.Feed(got);
      // An empty poll took every answer queued before it: wait for another.
      const auto more = [queued](const emulator::FirmwareCounters& c) {
        return c.answersSent > queued;
      };
      if (got.empty() && !Firmware().WaitUntil(more, std::chrono::seconds(10))) break;
    }
    EXPECT_EQ(mine.broken, 0u);
    received = mine.frames;
  });
  // The faults change in 30 rounds. Each sender makes 5 sends per round and
  // this thread starts round i once 10 * i answers are out, so every round
  // overlaps the traffic whatever the threads' speeds.
  std::mutex roundMutex;
  std::condition_variable roundDone;
  std::uint32_t rounds = 0;
  auto sender = [&](std::uint32_t base) {
    for (std::uint32_t i = 0; i < 150; ++i) {
      {
        std::unique_lock<std::mutex> lock(roundMutex);
        roundDone.wait(lock, [&] { return rounds >= i / 5; });
      }
      EXPECT_TRUE(Send(i % 2 ? ReadFrame(base + i) : WriteFrame(base + i, {std::uint8_t(i)})).ok);
    }
  };
  std::thread a(sender, 0x10000), b(sender, 0x20000);
  bool paced = true;
  for (std::uint32_t i = 0; i < 30; ++i) {
    const auto out = [i](const emulator::FirmwareCounters& c) { return c.answersSent >= 10 * i; };
    if (paced && !Firmware().WaitUntil(out, std::chrono::seconds(10))) {
      ADD_FAILURE() << "round " << i << ": the answers stopped";
      paced = false;  // let the senders run out rather than wait every round
    }
    Firmware().InjectFault(Fault::Random(FaultKind::kCorruptCheck, 0.3, i, 2));
    Fault stray = Fault::Next(FaultKind::kStrayBytes);
    stray.stray = {0x01};
    Firmware().InjectFault(stray);
    (void)Firmware().Counters();
    if (i % 10 == 9) Firmware().ClearFaults();
    {
      std::lock_guard<std::mutex> lock(roundMutex);
      rounds = i + 1;
    }
    roundDone.notify_all();
  }
  a.join();
  b.join();
  poller.join();

  EXPECT_EQ(received.size(), 300u);
  EXPECT_EQ(Firmware().Counters().answersSent, 300u);
  std::set<std::uint64_t> addresses;
  for (const auto& f : received) addresses.insert(f.address);
  EXPECT_EQ(addresses.size(), 300u);
}

}  // namespace
}  // namespace lumo::test
