// The idle tick: when it closes the port, when it only releases the claim, when it only counts.
#include "app/idle_tick.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "fakes/fake_clock.h"
#include "fakes/fake_list_control.h"
#include "fakes/fake_serial_port.h"
#include "log/event_list.h"

namespace qs {
namespace {

class IdleTickTest : public ::testing::Test {
 protected:
  IdleTickTest() { log_.SetLogView(&list_); }
  ~IdleTickTest() override { log_.SetLogView(nullptr); }

  void Configure(std::int32_t seconds, std::int32_t alwaysOpen) {
    settings_.Update([&](Settings& s) {
      s.autoDisconnectSeconds = seconds;
      s.portAlwaysOpen = alwaysOpen;
    });
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) tick_.OnTick();
  }
  int Disconnects() const {
    int count = 0;
    for (const auto& line : control_.lines) count += line.ends_with("Wykonano autorozlaczenie!");
    return count;
  }

  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  testing::FakeListControl control_;
  EventList list_{control_};
  PortUsage usage_;
  PortClaim claim_;
  testing::FakeSerialPort serial_;
  IdleTick tick_{settings_, log_, usage_, claim_, serial_};
};

TEST_F(IdleTickTest, ClosesAnOpenPortOnTheTickAfterTheLimitAndLogsOnce) {
  Configure(5, 0);
  serial_.isOpen = true;
  Ticks(5);
  EXPECT_EQ(serial_.closeCalls, 0);
  EXPECT_EQ(usage_.idleSeconds.load(), 5);

  Ticks(1);
  EXPECT_EQ(serial_.closeCalls, 1);
  EXPECT_FALSE(serial_.isOpen);
  EXPECT_EQ(Disconnects(), 1);
  EXPECT_EQ(usage_.idleSeconds.load(), 0);

  // Nothing open any more: the next rounds call the close, which finds nothing, silently.
  Ticks(12);
  EXPECT_EQ(serial_.closeCalls, 3);
  EXPECT_EQ(Disconnects(), 1);
}

TEST_F(IdleTickTest, AWriteOrOpenRestartsTheCount) {
  Configure(3, 0);
  serial_.isOpen = true;
  Ticks(3);
  usage_.idleSeconds.store(0);  // a byte written to the port
  Ticks(3);
  EXPECT_EQ(serial_.closeCalls, 0);
  Ticks(1);
  EXPECT_EQ(serial_.closeCalls, 1);
}

TEST_F(IdleTickTest, AlwaysOpenReleasesTheClaimButNeverClosesOrLogs) {
  Configure(2, 1);
  serial_.isOpen = true;
  claim_.portClaimed.store(true);
  Ticks(2);
  EXPECT_TRUE(claim_.portClaimed.load());
  Ticks(1);
  EXPECT_FALSE(claim_.portClaimed.load());
  Ticks(30);
  EXPECT_EQ(serial_.closeCalls, 0);
  EXPECT_TRUE(serial_.isOpen);
  EXPECT_TRUE(control_.lines.empty());
}

TEST_F(IdleTickTest, AnAlwaysOpenPortWhoseDeviceWentAwayIsOpenedAgainEveryTick) {
  settings_.Update([](Settings& s) {
    std::strcpy(s.portName, "com4");
    s.baudRate = 19200;
    s.dataBits = 7;
    s.parity = 'E';
    s.stopBits = 2;
  });
  Configure(0, 1);
  serial_.deviceGone = true;
  serial_.openSucceeds = false;
  claim_.portClaimed.store(true);
  Ticks(3);
  EXPECT_EQ(serial_.reopenCalls, 3);
  serial_.openSucceeds = true;
  Ticks(1);
  EXPECT_EQ(serial_.reopenCalls, 4);
  EXPECT_EQ(serial_.opens.back(), "COM4 19200 7 E 2 10 50 0");
  EXPECT_TRUE(claim_.portClaimed.load());
  Ticks(5);  // back: nothing more to do
  EXPECT_EQ(serial_.reopenCalls, 4);
  EXPECT_EQ(serial_.closeCalls, 0);

  // On demand the port stays closed until a client opens it.
  Configure(0, 0);
  serial_.deviceGone = true;
  Ticks(3);
  EXPECT_EQ(serial_.reopenCalls, 4);
}

TEST_F(IdleTickTest, ClaimIsClearedOnDemandToo) {
  Configure(1, 0);
  claim_.portClaimed.store(true);
  Ticks(2);
  EXPECT_FALSE(claim_.portClaimed.load());
}

TEST_F(IdleTickTest, WithoutALimitItOnlyCountsAndANewLimitBelowTheCountFiresAtOnce) {
  for (const std::int32_t none : {0, -1, INT_MIN}) {
    Configure(none, 0);
    serial_.isOpen = true;
    Ticks(10);
    EXPECT_EQ(serial_.closeCalls, 0) << none;
  }
  EXPECT_EQ(usage_.idleSeconds.load(), 30);
  Configure(4, 0);
  Ticks(1);
  EXPECT_EQ(serial_.closeCalls, 1);
}

TEST_F(IdleTickTest, TheLargestLimitComparesAsThatManySeconds) {
  Configure(INT_MAX, 0);
  serial_.isOpen = true;
  usage_.idleSeconds.store(INT_MAX - 1);
  Ticks(1);  // idle is now INT_MAX: not above the limit
  EXPECT_EQ(serial_.closeCalls, 0);
}

}  // namespace
}  // namespace qs
