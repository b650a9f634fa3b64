// The serial link's reader: data to the owner, failing or vanished devices, cancels, stuck drivers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/client_slot.h"
#include "platform/common/read_failure.h"
#include "serial/port_config.h"
#include "serial/serial_link.h"
#include "support/fake_client.h"
#include "support/serial_link_fixture.h"
#include "support/wait.h"

namespace qs {
namespace {

using std::chrono::milliseconds;
using testing::SerialLinkTest;
using testing::WaitUntil;

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

// A full block's send to a slow client and the next read of the port go on side by side;
// what was read still reaches the client, in order, before the close reports the reader's end.
TEST_F(SerialLinkTest, TheReaderReadsOnWhileABlockWaitsForItsClient) {
  SerialLink link(log_, usage_, comm_, sender_, {}, milliseconds(3000));
  ASSERT_EQ(Open(link), 0);
  ClientSlot owner;
  owner.Assign(testing::FakeClient(sockets_, 9));
  sender_.ownerClient.store(&owner);
  sockets_.StopReading(9);
  const std::vector<std::uint8_t> first(SerialLink::kReadSize, 'a');
  const std::vector<std::uint8_t> second(SerialLink::kReadSize, 'b');
  ASSERT_TRUE(WaitUntil([&] { return comm_.device.readsInFlight.load() == 1; }));
  const int readsBefore = comm_.device.reads.load();
  comm_.device.Feed(first);
  ASSERT_TRUE(WaitUntil([&] { return sockets_.SendsInFlight() == 1; }));
  comm_.device.Feed(second);
  // Taken from the device, and the reader is back for more, while the first send still waits.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return comm_.device.reads.load() == readsBefore + 2 && comm_.device.readsInFlight == 1;
      },
      milliseconds(500)));
  EXPECT_EQ(sockets_.SendsInFlight(), 1);

  EXPECT_EQ(link.CloseSerialPort(), 1);
  const auto sent = sockets_.SentSoFar();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, first);
  EXPECT_EQ(sent[1].bytes, second);
  EXPECT_EQ(LinesFrom(2), (std::vector<std::string>{"Serial Off - start",
                                                    "SendTCP Error - nie wyslano wszystkiego",
                                                    "SendTCP Error - nie wyslano wszystkiego",
                                                    "Serial Polling - stop", "Serial Off - stop"}));
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
  // The line is read again after each wait for input, the waits growing while it stays
  // silent; a loop without a pause makes millions of reads.
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

}  // namespace
}  // namespace qs
