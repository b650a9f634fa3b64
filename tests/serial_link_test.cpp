// The serial link against a device in memory: opening, configuring, writing and closing.
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client_slot.h"
#include "support/fake_client.h"
#include "support/serial_link_fixture.h"
#include "support/wait.h"

namespace qs {
namespace {

using testing::SerialLinkTest;
using testing::WaitUntil;

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
