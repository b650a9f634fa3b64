// The serial link against a device in memory: open and close lines, the reader, the writer.
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client_sender.h"
#include "bridge/client_slot.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_comm.h"
#include "fakes/fake_sockets.h"
#include "platform/common/read_failure.h"
#include "serial/port_config.h"
#include "support/captured_lines.h"
#include "support/fake_client.h"
#include "support/wait.h"

namespace qs {
namespace {

using std::chrono::milliseconds;
using testing::WaitUntil;

class SerialLinkTest : public ::testing::Test {
 protected:
  SerialLinkTest() {
    log_.SetLogView(&lines_);
    comm_.device.journal = &journal_;
    sockets_.journal = &journal_;
  }
  ~SerialLinkTest() override { log_.SetLogView(nullptr); }

  int Open(SerialLink& link, std::string name = "COM3") {
    return link.OpenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0);
  }
  int Open(std::string name = "COM3") { return Open(link_, std::move(name)); }
  std::vector<std::string> Lines() { return lines_.Texts(); }
  std::vector<std::string> LinesFrom(std::size_t first) { return lines_.TextsFrom(first); }

  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  testing::CapturedLines lines_;
  testing::Journal journal_;
  testing::FakeComm comm_;
  testing::FakeSockets sockets_;
  PortUsage usage_;
  std::atomic<bool> claimed_{false};  // the bridge's claim, which every close releases
  ClientSender sender_{log_};
  SerialLink link_{log_, usage_, comm_, sender_, [this] { claimed_.store(false); }};
};

TEST_F(SerialLinkTest, OpenConfiguresTheDeviceAndCloseLogsInOrder) {
  usage_.idleSeconds.store(40);
  link_.SetDeviceType(227);
  std::string name = "com3";
  ASSERT_EQ(link_.OpenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0), 0);
  EXPECT_EQ(name, "COM3");
  EXPECT_EQ(comm_.openedPaths, std::vector<std::string>{"COM3"});
  EXPECT_TRUE(link_.IsOpen());
  EXPECT_EQ(usage_.idleSeconds.load(), 0);

  const platform::Dcb& dcb = comm_.device.state;
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.flags, 0x1417u);  // fBinary from the mode string, the fixed bits, CTS for 227
  const platform::CommTimeouts& t = comm_.device.timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(comm_.device.inputQueue, 1020u);
  EXPECT_EQ(comm_.device.outputQueue, 1024u);

  claimed_.store(true);
  EXPECT_EQ(link_.CloseSerialPort(), 1);
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_FALSE(claimed_.load());
  EXPECT_EQ(comm_.device.closes.load(), 1);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"baud=9600 data=8 parity=N stop=1",
                                               "Serial Polling - start", "Serial Off - start",
                                               "Serial Polling - stop", "Serial Off - stop"}));

  // A second close finds nothing: no line, but the claim is cleared all the same.
  claimed_.store(true);
  EXPECT_EQ(link_.CloseSerialPort(), 0);
  EXPECT_FALSE(claimed_.load());
  EXPECT_EQ(Lines().size(), 5u);
}

// COM names count in upper case; a device path names its device exactly, even one that
// holds "COM" and a number.
TEST_F(SerialLinkTest, DevicePathsKeepTheirCaseAndComNamesAreUpperCased) {
  for (const std::string typed :
       {"Dev/ttyMixed0", "/dev/serial/by-id/usb-Ab_Cd-if00-port0", "/dev/ttyCOM9"}) {
    std::string name = typed;
    ASSERT_EQ(link_.OpenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0), 0) << typed;
    EXPECT_EQ(name, typed);
    EXPECT_EQ(comm_.openedPaths.back(), typed);
    link_.CloseSerialPort();
  }
  std::string name = "\\\\.\\com12";
  ASSERT_EQ(link_.OpenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0), 0);
  EXPECT_EQ(name, "\\\\.\\COM12");
  EXPECT_EQ(comm_.openedPaths.back(), "\\\\.\\COM12");
  link_.CloseSerialPort();
}

TEST_F(SerialLinkTest, FailedOpensLogTheModeAndOneErrorAndLeaveNothingOpen) {
  std::string empty;
  EXPECT_EQ(link_.OpenSerialPort(empty, 9600, 8, 'N', 1, 10, 50, 0), 1);
  EXPECT_TRUE(Lines().empty());

  comm_.modeRefused = true;
  std::string name = "COM3";
  EXPECT_EQ(link_.OpenSerialPort(name, 0, 0, '\0', 0, 0, 0, 0), 1);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"baud=0 data=0 parity=", "Error - blad otwarcia portu COM"}));
  EXPECT_TRUE(comm_.openedPaths.empty());

  comm_.modeRefused = false;
  comm_.deviceMissing = true;
  EXPECT_EQ(Open("COM12"), 1);
  EXPECT_EQ(comm_.openedPaths, std::vector<std::string>{"\\\\.\\COM12"});

  comm_.deviceMissing = false;
  comm_.device.setStateRefused = true;
  EXPECT_EQ(Open(), 1);
  EXPECT_TRUE(comm_.device.closed()) << "a device that was opened is closed again";
  EXPECT_FALSE(link_.IsOpen());
  EXPECT_EQ(LinesFrom(2),
            (std::vector<std::string>{
                "baud=9600 data=8 parity=N stop=1", "Error - blad otwarcia portu COM",
                "baud=9600 data=8 parity=N stop=1", "Error - blad otwarcia portu COM"}));
}

TEST_F(SerialLinkTest, OpenWhileOpenIsRefusedAndTheOpenPortKeepsWorking) {
  ASSERT_EQ(Open(), 0);
  ClientSlot owner;
  owner.Assign(testing::FakeClient(sockets_, 7));
  sender_.ownerClient.store(&owner);

  for (const char* name : {"COM3", "COM4"}) {
    EXPECT_EQ(Open(name), 1) << name;
  }
  EXPECT_EQ(comm_.openedPaths.size(), 1u);
  EXPECT_EQ(LinesFrom(2),
            (std::vector<std::string>{
                "baud=9600 data=8 parity=N stop=1", "Error - blad otwarcia portu COM",
                "baud=9600 data=8 parity=N stop=1", "Error - blad otwarcia portu COM"}));
  comm_.device.Feed({'o', 'k'});
  ASSERT_TRUE(WaitUntil([&] { return sockets_.SentSoFar().size() == 1; }));
  EXPECT_EQ(link_.CloseSerialPort(), 1);
}

TEST_F(SerialLinkTest, DataGoesToTheOwnerOnlyAndAckDevicesGetTheirAcksFirst) {
  ASSERT_EQ(Open(), 0);
  comm_.device.Feed({'n', 'o', 'b', 'o', 'd', 'y'});  // no owner: dropped silently
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.reads.load() >= 2; }));

  ClientSlot owner;
  sender_.ownerClient.store(&owner);
  comm_.device.Feed({'f', 'r', 'e', 'e'});  // the owner's slot holds no socket: dropped too
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.reads.load() >= 3; }));

  owner.Assign(testing::FakeClient(sockets_, 42));
  link_.SetDeviceType(kAckDeviceType);
  comm_.device.Feed({'1', '2', 0x0D, '4', '5', 0x0D});
  ASSERT_TRUE(WaitUntil([&] { return journal_.Entries().size() == 3; }));
  EXPECT_EQ(journal_.Entries(), (std::vector<std::string>{"write 6", "write 6", "send 6"}));
  const auto sent = sockets_.SentSoFar();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].socket, 42u);
  EXPECT_EQ(sent[0].bytes, (std::vector<std::uint8_t>{'1', '2', 0x0D, '4', '5', 0x0D}));

  // Any other device type: a CR is just data.
  link_.SetDeviceType(107);
  comm_.device.Feed({0x0D});
  ASSERT_TRUE(WaitUntil([&] { return sockets_.SentSoFar().size() == 2; }));
  EXPECT_EQ(comm_.device.Written().size(), 2u);
  EXPECT_EQ(LinesFrom(2), std::vector<std::string>{});
}

TEST_F(SerialLinkTest, SendErrorsAreLoggedAndNotRetried) {
  ASSERT_EQ(Open(), 0);
  ClientSlot owner;
  owner.Assign(testing::FakeClient(sockets_, 5));
  sender_.ownerClient.store(&owner);

  sockets_.FailNext({-1, 10054});
  comm_.device.Feed({'a', 'b', 'c'});
  ASSERT_TRUE(WaitUntil([&] { return Lines().size() == 3; }));
  EXPECT_EQ(Lines().back(), "SendTCP Error: 10054");

  sockets_.FailNext({2, 0});
  comm_.device.Feed({'a', 'b', 'c'});
  ASSERT_TRUE(WaitUntil([&] { return Lines().size() == 4; }));
  EXPECT_EQ(Lines().back(), "SendTCP Error - nie wyslano wszystkiego");
  EXPECT_EQ(sockets_.SentSoFar().size(), 2u);
}

TEST_F(SerialLinkTest, WritesCountAsUseAndReportBytesThatDidNotGoOut) {
  usage_.idleSeconds.store(9);
  EXPECT_EQ(link_.WriteSerialByte('x'), SerialLink::WriteResult::kNoPort);
  EXPECT_EQ(usage_.idleSeconds.load(), 9);

  ASSERT_EQ(Open(), 0);
  usage_.idleSeconds.store(9);
  EXPECT_EQ(link_.WriteSerialByte('a'), SerialLink::WriteResult::kWritten);
  EXPECT_EQ(usage_.idleSeconds.load(), 0);

  // The write time-out ran out (CTS held low, say): the caller hears so instead of waiting.
  comm_.device.writesGoOut = false;
  usage_.idleSeconds.store(9);
  EXPECT_EQ(link_.WriteSerialByte('b'), SerialLink::WriteResult::kNotTaken);
  EXPECT_EQ(usage_.idleSeconds.load(), 0);
  EXPECT_EQ(comm_.device.Written(), std::vector<std::uint8_t>{'a'});
}

TEST_F(SerialLinkTest, AReadThatKeepsFailingDoesNotSpin) {
  comm_.device.failReads = true;
  ASSERT_EQ(Open(), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      WaitUntil([&] { return std::chrono::steady_clock::now() - start >= milliseconds(300); }));
  // About 30 reads at one every 10 ms; a loop without a pause makes millions.
  EXPECT_LT(comm_.device.reads.load(), 100);
  EXPECT_EQ(link_.CloseSerialPort(), 1);
}

TEST_F(SerialLinkTest, ADeviceThatGoesAwayClosesThePortAndKeepsTheClaim) {
  ASSERT_EQ(Open(), 0);
  ClientSlot owner;
  sender_.ownerClient.store(&owner);
  claimed_.store(true);
  const std::size_t first = Lines().size();

  comm_.device.unplugged = true;
  comm_.device.Feed({});  // ends the read in flight, which then finds the device gone
  ASSERT_TRUE(WaitUntil([&] { return !link_.IsOpen() && Lines().size() == first + 4; }));
  EXPECT_EQ(LinesFrom(first),
            (std::vector<std::string>{"Error - port COM odlaczony", "Serial Off - start",
                                      "Serial Polling - stop", "Serial Off - stop"}));
  EXPECT_TRUE(link_.DeviceGone());
  EXPECT_TRUE(comm_.device.closed());
  EXPECT_TRUE(claimed_.load());
  EXPECT_EQ(sender_.ownerClient.load(), &owner);
  const int reads = comm_.device.reads.load();

  // Gone, the device costs nothing: the reader has ended, and a failed quiet open logs nothing.
  std::string name = "COM3";
  EXPECT_EQ(link_.ReopenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0), 1);
  EXPECT_EQ(Lines().size(), first + 4);
  EXPECT_EQ(comm_.device.reads.load(), reads);
  EXPECT_TRUE(link_.DeviceGone());

  // Back again: the open logs its usual lines, and data flows to the same owner.
  comm_.device.unplugged = false;
  owner.Assign(testing::FakeClient(sockets_, 7));
  EXPECT_EQ(link_.ReopenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0), 0);
  EXPECT_FALSE(link_.DeviceGone());
  EXPECT_EQ(LinesFrom(first + 4), (std::vector<std::string>{FormatModeString(9600, 8, 'N', 1),
                                                            "Serial Polling - start"}));
  comm_.device.Feed({'h', 'i'});
  ASSERT_TRUE(WaitUntil([&] { return sockets_.SentSoFar().size() == 1; }));
  EXPECT_EQ(sockets_.SentSoFar()[0].bytes, (std::vector<std::uint8_t>{'h', 'i'}));

  // An explicit close forgets that the device had gone.
  comm_.device.unplugged = true;
  comm_.device.Feed({});
  ASSERT_TRUE(WaitUntil([&] { return link_.DeviceGone(); }));
  EXPECT_EQ(link_.CloseSerialPort(), 0);
  EXPECT_FALSE(link_.DeviceGone());
}

TEST(ReadFailureTest, OnlyTheCodesOfAVanishedDeviceMeanGone) {
  for (const std::uint32_t code : {5u, 6u, 22u, 109u, 1617u}) {
    EXPECT_TRUE(platform::ReadFailureMeansGone(code, false)) << code;
    EXPECT_TRUE(platform::ReadFailureMeansGone(code, true)) << code;
  }
  // Aborted: gone only when nobody here cancelled the read.
  EXPECT_TRUE(platform::ReadFailureMeansGone(995, false));
  EXPECT_FALSE(platform::ReadFailureMeansGone(995, true));
  for (const std::uint32_t code : {0u, 31u, 996u, 1460u, 87u}) {
    EXPECT_FALSE(platform::ReadFailureMeansGone(code, false)) << code;
  }
}

// Time-outs such as "return what is there at once" end every read of a silent line at once:
// the reader then waits for input between reads, and the first bytes still go on.
TEST_F(SerialLinkTest, ReadsThatEndAtOnceOnASilentLineDoNotSpin) {
  comm_.device.readsEndAtOnce = true;
  ClientSlot owner;
  owner.Assign(testing::FakeClient(sockets_, 3));
  sender_.ownerClient.store(&owner);
  ASSERT_EQ(Open(), 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(
      WaitUntil([&] { return std::chrono::steady_clock::now() - start >= milliseconds(300); }));
  // The line is read again every 100 ms, with waits for input between; a loop without a
  // pause makes millions of reads.
  EXPECT_LT(comm_.device.reads.load(), 20);
  EXPECT_GT(comm_.device.inputWaits.load(), 5);

  comm_.device.Feed({'u', 'p'});
  ASSERT_TRUE(WaitUntil([&] { return sockets_.SentSoFar().size() == 1; }));
  EXPECT_EQ(sockets_.SentSoFar()[0].bytes, (std::vector<std::uint8_t>{'u', 'p'}));
  EXPECT_EQ(link_.CloseSerialPort(), 1);
}

TEST_F(SerialLinkTest, AReaderThatIgnoresTheCancelEndsWhenThePortCloses) {
  SerialLink link(log_, usage_, comm_, sender_, {}, milliseconds(200));
  comm_.device.cancelRefused = true;
  ASSERT_EQ(Open(link), 0);
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.readsInFlight.load() == 1; }));
  EXPECT_EQ(link.CloseSerialPort(), 1);
  EXPECT_EQ(LinesFrom(2), (std::vector<std::string>{
                              "Serial Off - start", "Serial Polling - stop",
                              "Serial Off - stop - Error - nie zatrzymano watku SerialPolling"}));
}

// A cancel can land just before the reader's next read begins; the close must not then
// wait out its whole bound for the reader.
TEST_F(SerialLinkTest, ACancelThatMissesTheReadIsRepeated) {
  ASSERT_EQ(Open(), 0);
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.readsInFlight.load() == 1; }));
  comm_.device.cancelsMissed = 1;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link_.CloseSerialPort(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(500));
  EXPECT_EQ(LinesFrom(2), (std::vector<std::string>{"Serial Off - start", "Serial Polling - stop",
                                                    "Serial Off - stop"}));
}

// A driver that never lets go: the close still returns within its bounds, the port is
// reported closed, and a new open gets a new reader that the old one cannot disturb.
TEST_F(SerialLinkTest, AStuckDriverDoesNotHoldTheCloseOrTheNextOpen) {
  SerialLink link(log_, usage_, comm_, sender_, {}, milliseconds(100));
  comm_.device.stuckDriver = true;
  ASSERT_EQ(Open(link), 0);
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.readsInFlight.load() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.CloseSerialPort(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(LinesFrom(2), (std::vector<std::string>{"Serial Off - start", "Serial Off - stop"}));

  comm_.device.stuckDriver = false;
  comm_.device.ReleaseStuckRead();
  ASSERT_EQ(Open(link), 0);
  EXPECT_EQ(link.CloseSerialPort(), 1);
}

TEST_F(SerialLinkTest, ClosesAndWritesFromSeveralThreadsAtOnce) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(Open(), 0);
    std::atomic<int> closed{0};
    std::thread writer([&] {
      for (int i = 0; i < 50; ++i) link_.WriteSerialByte(static_cast<std::uint8_t>(i));
    });
    std::thread closerA([&] { closed += link_.CloseSerialPort(); });
    std::thread closerB([&] { closed += link_.CloseSerialPort(); });
    writer.join();
    closerA.join();
    closerB.join();
    EXPECT_EQ(closed.load(), 1) << "exactly one close finds the port open";
    EXPECT_FALSE(link_.IsOpen());
  }
}

TEST_F(SerialLinkTest, APortLeftOpenAtExitIsClosedQuietly) {
  {
    SerialLink link(log_, usage_, comm_, sender_);
    std::string name = "COM5";
    ASSERT_EQ(link.OpenSerialPort(name, 9600, 8, 'N', 1, 0, 0, 0), 0);
  }
  EXPECT_TRUE(comm_.device.closed());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"baud=9600 data=8 parity=N stop=1",
                                               "Serial Polling - start"}));
}

}  // namespace
}  // namespace qs
