// The event log: exact file bytes, the on-screen gates, and many writers at once.
#include "log/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_list_control.h"
#include "log/event_list.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::ReadBytes;

class EventLogTest : public ::testing::Test {
 protected:
  void SetLogPath(const std::string& path) {
    settings_.Update([&](Settings& s) {
      std::memset(s.logFilePath, 0, sizeof s.logFilePath);
      std::memcpy(s.logFilePath, path.data(), path.size());
    });
  }
  std::string LogBytes() { return ReadBytes(logPath_); }

  testing::TempDir dir_;
  std::string logPath_ = dir_.File("events.log");
  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
};

TEST_F(EventLogTest, FileGetsCrLfStampAndTextWithTrafficRunningOn) {
  SetLogPath(logPath_);
  log_.LogEvent("Serwer TCP On - Stop");
  const std::uint8_t chunk[] = {0x1B, 'C', 'O', 'M', '3', 0x0D};
  log_.LogTraffic(chunk, sizeof chunk);
  log_.LogEvent("100%d %s %n done");
  clock_.Set({2009, 3, 4, 7, 8, 0});
  log_.LogEvent("first\nsecond\r\nthird");
  log_.LogEvent("");
  clock_.Set({2000, 12, 31, 23, 59, 59});
  log_.LogEvent(std::string("cut\0hidden", 10));

  EXPECT_EQ(LogBytes(),
            "\r\n14:05:09 01/15/21 Serwer TCP On - Stop[ESC]COM3[CR]"
            "\r\n14:05:09 01/15/21 100%d %s %n done"
            "\r\n07:08:00 03/04/09 first\r\nsecond\r\r\nthird"
            "\r\n23:59:59 12/31/00 cut");
}

TEST_F(EventLogTest, EntriesGoAfterWhatTheFileHeldAndAPathChangeTakesTheNextEntry) {
  testing::WriteBytes(logPath_, std::string("kept\x00\r\n", 7));
  SetLogPath(logPath_);
  log_.LogEvent("one");
  const std::string other = dir_.File("other.log");
  SetLogPath(other);
  const std::uint8_t chunk[] = {'x', 0x0D};
  log_.LogTraffic(chunk, sizeof chunk);
  log_.FlushTraffic();
  EXPECT_EQ(LogBytes(), std::string("kept\x00\r\n\r\n14:05:09 01/15/21 one", 30));
  EXPECT_EQ(ReadBytes(other), "x[CR]");
}

// The server writes a chunk's bytes to the port before its traffic text goes to the file;
// the file must still read as if the text had been written first.
TEST_F(EventLogTest, HeldTrafficGoesBeforeAnyLaterLineAndToTheFileSetWhenItCame) {
  SetLogPath(logPath_);
  const std::uint8_t a[] = {'a'};
  log_.LogTraffic(a, 1);
  std::thread([&] { log_.LogEvent("from the reader"); }).join();
  const std::uint8_t b[] = {'b', 0x1B};
  log_.LogTraffic(b, sizeof b);
  const std::string other = dir_.File("other.log");
  SetLogPath(other);
  const std::uint8_t c[] = {'c'};
  log_.LogTraffic(c, 1);
  log_.FlushTraffic();
  log_.FlushTraffic();
  EXPECT_EQ(LogBytes(), "a\r\n14:05:09 01/15/21 from the readerb[ESC]");
  EXPECT_EQ(ReadBytes(other), "c");
}

TEST_F(EventLogTest, NoFileIsTouchedWithoutAPath) {
  log_.LogEvent("nowhere");
  const std::uint8_t chunk[] = {'x'};
  log_.LogTraffic(chunk, 1);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(EventLogTest, AFileThatCannotBeOpenedIsSkippedAndTheListStillGetsTheLine) {
  SetLogPath(dir_.File("no-such-folder/events.log"));
  testing::FakeListControl control;
  EventList list(control);
  log_.SetLogView(&list);
  log_.LogEvent("still shown");
  ASSERT_EQ(control.lines.size(), 1u);
  EXPECT_EQ(control.lines[0], "14:05:09 01/15/21 still shown");
}

TEST_F(EventLogTest, OverlongTextIsCutAt4076Characters) {
  SetLogPath(logPath_);
  log_.LogEvent(std::string(5000, 'x'));
  EXPECT_EQ(LogBytes(), "\r\n14:05:09 01/15/21 " + std::string(4076, 'x'));
}

TEST_F(EventLogTest, ListGetsLinesOnlyWhileOpenAndScreenLoggingIsOn) {
  SetLogPath(logPath_);
  testing::FakeListControl control;
  EventList list(control);

  log_.LogEvent("before the dialog");
  log_.SetLogView(&list);
  log_.LogEvent("shown");
  log_.SetScreenLogEnabled(false);
  log_.LogEvent("hidden while the port is re-opened");
  log_.SetScreenLogEnabled(true);
  log_.LogEvent("");
  log_.LogEvent("shown again");
  log_.SetLogView(nullptr);
  log_.LogEvent("after the dialog");

  EXPECT_EQ(control.lines,
            (std::vector<std::string>{"14:05:09 01/15/21 shown", "14:05:09 01/15/21 shown again"}));
  EXPECT_EQ(list.logViewLineCount(), 2);
  // Every non-empty line reached the file, whatever the list did.
  const std::string file = LogBytes();
  for (const char* text : {"before the dialog", "shown", "hidden while the port is re-opened",
                           "shown again", "after the dialog"}) {
    EXPECT_NE(file.find(text), std::string::npos) << text;
  }
}

// A client that streams without pause never lets the server flush: what waits stays bounded.
TEST_F(EventLogTest, HeldTrafficGoesToTheFileOnceItReachesItsBound) {
  SetLogPath(logPath_);
  const std::vector<std::uint8_t> chunk(1023, 'z');
  std::size_t logged = 0;
  while (logged < 4 * EventLog::kMostHeldTraffic) {
    log_.LogTraffic(chunk.data(), chunk.size());
    logged += chunk.size();
  }
  const std::size_t inFile = LogBytes().size();
  EXPECT_GT(inFile + EventLog::kMostHeldTraffic, logged);
  log_.FlushTraffic();
  EXPECT_EQ(LogBytes(), std::string(logged, 'z'));
}

// Lines and traffic from several threads at once: every one reaches the file, whole, and
// each thread's entries stand in the order that thread wrote them.
TEST_F(EventLogTest, ConcurrentLinesAndTrafficAllArriveWholeAndInOrder) {
  SetLogPath(logPath_);
  log_.LogEvent("begin");

  constexpr int kLineThreads = 3;
  constexpr int kTrafficThreads = 2;
  constexpr int kEntries = 250;
  const std::string padding(300, 'p');

  std::vector<std::thread> threads;
  for (int t = 0; t < kLineThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kEntries; ++n) {
        log_.LogEvent("E" + std::to_string(t) + "-" + std::to_string(n) + "-" + padding);
      }
    });
  }
  for (int t = 0; t < kTrafficThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kEntries; ++n) {
        std::string chunk = "\x1BX" + std::to_string(t) + "-" + std::to_string(n) + "-";
        chunk += padding + "\r";
        log_.LogTraffic(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  log_.FlushTraffic();

  const std::string file = LogBytes();
  const std::string stamp = "\r\n14:05:09 01/15/21 ";
  ASSERT_EQ(file.rfind(stamp + "begin", 0), 0u);

  // Each entry, whole: an event line or a traffic chunk.
  const std::regex entry(
      "(\\r\\n14:05:09 01/15/21 E(\\d)-(\\d+)-p{300})|(\\[ESC\\]X(\\d)-(\\d+)-p{300}\\[CR\\])");
  std::map<std::string, int> next;  // "E0", "X1", ... -> the number expected next
  std::size_t consumed = stamp.size() + 5;
  auto it = std::sregex_iterator(file.begin() + static_cast<std::ptrdiff_t>(consumed), file.end(),
                                 entry, std::regex_constants::match_continuous);
  for (; it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    ASSERT_EQ(static_cast<std::size_t>(m.position(0)) + stamp.size() + 5, consumed);
    const bool isLine = m[1].matched;
    const std::string key = (isLine ? "E" : "X") + std::string(isLine ? m[2] : m[5]);
    const int number = std::stoi(isLine ? m[3] : m[6]);
    ASSERT_EQ(number, next[key]) << key;
    next[key] = number + 1;
    consumed += static_cast<std::size_t>(m.length(0));
  }
  EXPECT_EQ(consumed, file.size()) << "something in the file is not a whole entry";
  for (int t = 0; t < kLineThreads; ++t) EXPECT_EQ(next["E" + std::to_string(t)], kEntries);
  for (int t = 0; t < kTrafficThreads; ++t) EXPECT_EQ(next["X" + std::to_string(t)], kEntries);
}

}  // namespace
}  // namespace qs
