// The main dialog against an in-memory window: buttons, results, the tick, lines from threads.
#include "app/main_dialog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_dialog_window.h"
#include "fakes/fake_serial_port.h"

namespace qs {
namespace {

class MainDialogTest : public ::testing::Test {
 protected:
  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  PortUsage usage_;
  testing::FakeSerialPort serial_;
  PortClaim claim_;
  IdleTick tick_{settings_, log_, usage_, claim_, serial_};
  int settingsOpened_ = 0;
  MainDialog dialog_{log_, tick_, [this] { ++settingsOpened_; }};
  testing::FakeDialogWindow window_;
};

TEST_F(MainDialogTest, OpensTheListAndTheOneSecondTick) {
  dialog_.OnOpen(window_);
  EXPECT_EQ(window_.listId, 215);
  EXPECT_EQ(window_.timerMilliseconds, 1000u);

  log_.LogEvent("hello");
  EXPECT_EQ(window_.wakes.load(), 1);
  dialog_.OnWake(window_);
  EXPECT_EQ(window_.list.lines, std::vector<std::string>{"14:05:09 01/15/21 hello"});
  EXPECT_EQ(window_.list.selected, 0);
}

TEST_F(MainDialogTest, KoniecEndsWithOneAndLaterLinesStayOffTheList) {
  dialog_.OnOpen(window_);
  log_.LogEvent("logged before the end");
  dialog_.OnCommand(window_, MainDialog::kEndButton);
  EXPECT_TRUE(window_.ended);
  EXPECT_EQ(window_.endResult, 1);
  log_.LogEvent("shut-down line");
  dialog_.OnWake(window_);
  EXPECT_EQ(window_.list.lines,
            std::vector<std::string>{"14:05:09 01/15/21 logged before the end"});
}

TEST_F(MainDialogTest, CancelEndsWithTwoAndUstawieniaOpensTheSettings) {
  dialog_.OnOpen(window_);
  dialog_.OnCommand(window_, MainDialog::kSettingsButton);
  EXPECT_EQ(settingsOpened_, 1);
  EXPECT_FALSE(window_.ended);
  dialog_.OnCommand(window_, platform::DialogHandler::kCancel);
  EXPECT_TRUE(window_.ended);
  EXPECT_EQ(window_.endResult, 2);
}

TEST_F(MainDialogTest, TheTimerRunsTheIdleTickAndItsLineReachesTheList) {
  settings_.Update([](Settings& s) { s.autoDisconnectSeconds = 1; });
  serial_.isOpen = true;
  dialog_.OnOpen(window_);
  dialog_.OnTimer(window_);
  dialog_.OnTimer(window_);
  EXPECT_EQ(serial_.closeCalls, 1);
  EXPECT_EQ(window_.list.lines,
            std::vector<std::string>{"14:05:09 01/15/21 Wykonano autorozlaczenie!"});
}

// Threads that log while the user-interface thread is busy elsewhere are not held up, and
// their lines reach the list in the order each thread logged them.
TEST_F(MainDialogTest, LinesFromOtherThreadsArriveInOrderWithoutWaitingForTheUi) {
  dialog_.OnOpen(window_);
  constexpr int kThreads = 3;
  constexpr int kLines = 90;
  std::vector<std::future<void>> loggers;
  for (int t = 0; t < kThreads; ++t) {
    loggers.push_back(std::async(std::launch::async, [this, t] {
      for (int n = 0; n < kLines; ++n) {
        log_.LogEvent("T" + std::to_string(t) + " " + std::to_string(n));
      }
    }));
  }
  for (auto& logger : loggers) {
    ASSERT_EQ(logger.wait_for(std::chrono::seconds(20)), std::future_status::ready)
        << "a logging thread waited for the user-interface thread";
  }
  EXPECT_TRUE(window_.list.lines.empty());
  EXPECT_EQ(window_.wakes.load(), 1);

  dialog_.OnWake(window_);
  ASSERT_EQ(window_.list.lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::map<char, int> next;
  for (const std::string& line : window_.list.lines) {
    const std::string text = line.substr(18);
    const char thread = text[1];
    EXPECT_EQ(std::stoi(text.substr(3)), next[thread]) << line;
    next[thread] = std::stoi(text.substr(3)) + 1;
  }
}

// A burst logged between two wakes costs the window one list's worth of drawing, not one
// redraw a line, so the list keeps up with a busy bridge.
TEST_F(MainDialogTest, ABurstOfLinesIsDrawnOnceNotLineByLine) {
  dialog_.OnOpen(window_);
  for (int n = 0; n < 1000; ++n) log_.LogEvent("burst " + std::to_string(n));
  dialog_.OnWake(window_);
  EXPECT_LE(window_.list.adds, EventList::kMaxLines);
  EXPECT_EQ(window_.list.selects, 1);
  ASSERT_EQ(window_.list.lines.size(), 100u);
  EXPECT_EQ(window_.list.lines.back(), "14:05:09 01/15/21 burst 999");
  EXPECT_EQ(window_.list.selected, 99);
}

}  // namespace
}  // namespace qs
