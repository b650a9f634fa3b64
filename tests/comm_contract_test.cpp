// What every serial backend does, on the port under test and its far end: opening, closing,
// line settings and the bytes that cross.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/comm.h"
#include "support/comm_port_pair.h"

namespace qs::testing {
namespace {

using namespace std::chrono_literals;
using platform::SystemComm;
using CommContract = CommContractTest;

#ifdef _WIN32
const bool kMarkerInstalled = InstallPassMarker("comm_contract_test");
#endif

// --- Opening and closing ---------------------------------------------------------------

TEST_F(CommContract, OpenIsExclusiveUntilClosedAndRefusesWhatIsNoPort) {
  if (CommPortPair::kSecondOpenRefused) {
    EXPECT_EQ(SystemComm().Open(pair.path()), nullptr);
  }
  port->Close();
  auto again = SystemComm().Open(pair.path());
  EXPECT_NE(again, nullptr);
  again.reset();  // destroying closes too
  EXPECT_NE(SystemComm().Open(pair.path()), nullptr);

  for (const std::string& name : pair.NoPorts())
    EXPECT_EQ(SystemComm().Open(name), nullptr) << name;
}

TEST_F(CommContract, ClosedPortRefusesEverythingAndOpensAgain) {
  port->Close();
  port->Close();  // idempotent

  Dcb dcb{};
  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetState(dcb));
  EXPECT_FALSE(port->SetState(dcb));
  EXPECT_FALSE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  EXPECT_FALSE(port->SetupQueues(4096, 4096));
  // With all read time-outs 0 a read on an open port would wait forever.
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 4); });
  ASSERT_TRUE(read.Done(kPrompt));
  EXPECT_EQ(read.Get().count, -1);
  EXPECT_FALSE(port->WriteByte(0x55));
  EXPECT_FALSE(port->EscapeFunction(platform::kSetDtr));
  EXPECT_FALSE(port->GetModemStatus(status));
  EXPECT_FALSE(port->Purge(platform::kPurgeRxClear));
  EXPECT_TRUE(port->CancelIo());

  EXPECT_NE(SystemComm().Open(pair.path()), nullptr);
}

// --- Line settings ---------------------------------------------------------------------

TEST_F(CommContract, LineSettingsReadBack) {
  Dcb good = State();
  good.ByteSize = 8;
  good.Parity = 0;
  for (const std::uint32_t baud : {1200u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
    for (const std::uint8_t stopBits : {std::uint8_t{2}, std::uint8_t{0}}) {
      good.BaudRate = baud;
      good.StopBits = stopBits;
      ASSERT_TRUE(port->SetState(good)) << baud;
      const Dcb back = State();
      EXPECT_EQ(back.BaudRate, baud);
      EXPECT_EQ(back.StopBits, stopBits) << baud;
      if (CommPortPair::kReportsDataBitsAndParity) {
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.Parity, 0);
      }
    }
  }
}

TEST_F(CommContract, ImpossibleLineSettingsAreRefusedAndChangeNothing) {
  Dcb good = State();
  good.BaudRate = 19200;
  good.ByteSize = 8;
  good.Parity = 0;
  good.StopBits = 0;
  good.XonChar = 0x11;
  good.XoffChar = 0x13;
  ASSERT_TRUE(port->SetState(good));
  const Dcb before = State();
  const long rateBefore = pair.DeviceRate();

  // Each also asks for 57600 baud: a change that must not happen either.
  const struct {
    const char* what;
    std::uint32_t baud;
    std::uint8_t data, parity, stop;
    std::uint32_t flags;
    char xoff;
    bool wine;  // Wine refuses it too
  } bad[] = {
      {"rate 0", 0, 8, 0, 0, 0, 0x13, false},
      {"4 data bits", 57600, 4, 0, 0, 0, 0x13, true},
      {"9 data bits", 57600, 9, 0, 0, 0, 0x13, true},
      {"parity 5", 57600, 8, 5, 0, 0, 0x13, true},
      {"1.5 stop bits with 8 data bits", 57600, 8, 0, 1, 0, 0x13, false},
      {"1.5 stop bits with 6 data bits", 57600, 6, 0, 1, 0, 0x13, false},
      {"2 stop bits with 5 data bits", 57600, 5, 0, 2, 0, 0x13, false},
      {"stop bits 3", 57600, 8, 0, 3, 0, 0x13, true},
      {"DTR control 3", 57600, 8, 0, 0, 3u << platform::kDcbDtrControlShift, 0x13, true},
      {"XON equals XOFF with XON/XOFF flow", 57600, 8, 0, 0, platform::kDcbOutX, 0x11, false},
  };
  for (const auto& b : bad) {
    if (CommPortPair::kWineLineSettings && !b.wine) continue;
    Dcb dcb = good;
    dcb.BaudRate = b.baud;
    dcb.ByteSize = b.data;
    dcb.Parity = b.parity;
    dcb.StopBits = b.stop;
    dcb.flags |= b.flags;
    dcb.XoffChar = b.xoff;
    EXPECT_FALSE(port->SetState(dcb)) << b.what;
    if (CommPortPair::kWineLineSettings) continue;  // it applies a refused block in part
    const Dcb after = State();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << b.what;
    EXPECT_EQ(pair.DeviceRate(), rateBefore) << b.what;
  }

  // The edges that are allowed; the last is what a zeroed block filled from a mode string
  // looks like: both characters 0, no flow control.
  for (const auto& [data, parity, stop, xon] :
       {std::tuple<int, int, int, char>{5, 0, 1, 0x11}, {8, 4, 2, 0x11}, {8, 0, 0, 0}}) {
    Dcb dcb = good;
    dcb.ByteSize = static_cast<std::uint8_t>(data);
    dcb.Parity = static_cast<std::uint8_t>(parity);
    dcb.StopBits = static_cast<std::uint8_t>(stop);
    dcb.XonChar = xon;
    dcb.XoffChar = static_cast<char>(xon == 0 ? 0 : 0x13);
    EXPECT_TRUE(port->SetState(dcb)) << data << ' ' << parity << ' ' << stop;
  }
}

TEST_F(CommContract, PurgeQueuesAndTimeoutLimitsWorkAndMissingModemLinesFailWithoutHarm) {
  ASSERT_TRUE(pair.Send("stale"));
  if (pair.SeesInputQueue()) {
    ASSERT_TRUE(pair.WaitQueued(5, kPrompt));
  }
  EXPECT_TRUE(port->Purge(platform::kPurgeRxClear | platform::kPurgeTxClear));
  SetReadTimeouts(0, 0, 1);
  EXPECT_EQ(ReadFrom(*port, 16).count, 0);
  SetReadTimeouts(kMaxDword, 0, 0);
  EXPECT_EQ(ReadFrom(*port, 16).count, 0);
  EXPECT_TRUE(port->SetupQueues(4096, 4096));
  EXPECT_FALSE(port->SetTimeouts(CommTimeouts{kMaxDword, kMaxDword, kMaxDword, 0, 0}));
  EXPECT_TRUE(port->SetTimeouts(CommTimeouts{kMaxDword, kMaxDword, 0, 0, 0}));
  EXPECT_TRUE(port->SetTimeouts(CommTimeouts{kMaxDword, 0, 0, 0, 1000}));
  EXPECT_TRUE(port->SetTimeouts(CommTimeouts{50, 2, 100, 1, 1000}));

  if (CommPortPair::kNoModemLines) {
    std::uint32_t status = 0xdeadbeef;
    EXPECT_FALSE(port->GetModemStatus(status));
    EXPECT_EQ(status, 0xdeadbeef) << "left alone on failure";
    EXPECT_FALSE(port->EscapeFunction(platform::kSetRts));
    EXPECT_FALSE(port->EscapeFunction(platform::kClrDtr));
  }
  EXPECT_FALSE(port->EscapeFunction(77));
  // Settings with DTR and RTS raised or lowered still apply on a device without them.
  Dcb dcb = State();
  dcb.flags &= ~((3u << platform::kDcbDtrControlShift) | (3u << platform::kDcbRtsControlShift));
  EXPECT_TRUE(port->SetState(dcb));
  // The port still carries data afterwards.
  EXPECT_TRUE(port->WriteByte(0x42));
  EXPECT_EQ(pair.Receive(1), "\x42");
}

// --- Bytes -----------------------------------------------------------------------------

TEST_F(CommContract, AllByteValuesPassUnchangedBothWaysWithParityChecking) {
  Dcb dcb = State();
  dcb.flags |= platform::kDcbParity;
  ASSERT_TRUE(port->SetState(dcb));
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 2000, 0, 1000}));

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string edges("\x41\xFF\x00\x42\xFF\xFF\x00\x0D\x0A\x11\x13", 11);
  for (const std::string& bytes : {edges, all}) {
    ASSERT_TRUE(pair.Send(bytes));
    EXPECT_EQ(ReadFrom(*port, bytes.size()).bytes, bytes);
    for (const char b : bytes) ASSERT_TRUE(port->WriteByte(static_cast<std::uint8_t>(b)));
    EXPECT_EQ(pair.Receive(bytes.size(), kPrompt), bytes);
  }
}

TEST_F(CommContract, WritersOnSeveralThreadsAllGetThrough) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 64;
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  std::atomic<int> failures{0};
  {
    std::vector<std::jthread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          if (!port->WriteByte(static_cast<std::uint8_t>(t * kPerThread + i))) ++failures;
        }
      });
    }
    // Joined here; the writes are bounded by the write time-out.
  }
  EXPECT_EQ(failures.load(), 0);
  std::string received = pair.Receive(kThreads * kPerThread);
  std::sort(received.begin(), received.end(),
            [](char a, char b) { return std::uint8_t(a) < std::uint8_t(b); });
  std::string expected;
  for (int i = 0; i < kThreads * kPerThread; ++i) expected.push_back(static_cast<char>(i));
  EXPECT_EQ(received, expected);
}

TEST_F(CommContract, CloseWhileWritersRunEndsEveryWrite) {
  // Writers hammer the port while another thread closes it: each write either goes out or
  // fails, none hangs, and nothing crashes.
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::vector<std::jthread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      while (!stop.load() && port->WriteByte(0x77)) ++written;
    });
  }
  const auto deadline = Clock::now() + 5000ms;
  while (written.load() < 30 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_GE(written.load(), 30);
  Background<bool> close(*port, [&] {
    port->Close();
    return true;
  });
  ASSERT_TRUE(close.Done(5000ms)) << "Close while writing";
  stop.store(true);
  Background<bool> join(*port, [&] {
    writers.clear();
    return true;
  });
  ASSERT_TRUE(join.Done(5000ms)) << "writers ending after Close";
  EXPECT_FALSE(port->WriteByte(0x77));
}

}  // namespace
}  // namespace qs::testing
