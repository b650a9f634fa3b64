// The event list keeps at most 300 lines and always selects the newest.
#include "log/event_list.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_list_control.h"

namespace qs {
namespace {

TEST(EventList, The301stLineEmptiesTheListAndBecomesItsFirst) {
  testing::FakeListControl control;
  EventList list(control);

  for (int i = 1; i <= 300; ++i) list.ShowLine("line " + std::to_string(i));
  ASSERT_EQ(control.lines.size(), 300u);
  EXPECT_EQ(control.lines.back(), "line 300");
  EXPECT_EQ(control.selected, 299);
  EXPECT_EQ(control.resets, 0);

  list.ShowLine("line 301");
  ASSERT_EQ(control.lines.size(), 1u);
  EXPECT_EQ(control.lines[0], "line 301");
  EXPECT_EQ(control.selected, 0);
  EXPECT_EQ(control.resets, 1);
  EXPECT_EQ(list.logViewLineCount(), 1);

  for (int i = 302; i <= 600; ++i) list.ShowLine("line " + std::to_string(i));
  EXPECT_EQ(control.lines.size(), 300u);
  list.ShowLine("line 601");
  EXPECT_EQ(control.resets, 2);
  EXPECT_EQ(control.lines.size(), 1u);
}

// A batch leaves the list as the same lines shown one by one would, for batches that
// stop short of, reach and run past the 300-line mark, but draws at most one list's worth.
TEST(EventList, ABatchEndsWhereLineByLineWouldWithBoundedWork) {
  for (const auto& [before, batch] : std::vector<std::pair<int, int>>{
           {0, 1}, {0, 300}, {0, 301}, {250, 50}, {250, 51}, {250, 1000}, {300, 1}, {7, 599}}) {
    testing::FakeListControl oneByOne;
    testing::FakeListControl batched;
    EventList slow(oneByOne);
    EventList fast(batched);
    std::vector<std::string> lines;
    for (int i = 0; i < before + batch; ++i) {
      std::string line = "line " + std::to_string(i);
      slow.ShowLine(line);
      if (i < before) {
        fast.ShowLine(line);
      } else {
        lines.push_back(line);
      }
    }
    const int addsBefore = batched.adds;
    const int selectsBefore = batched.selects;
    fast.ShowLines(lines);

    SCOPED_TRACE(std::to_string(before) + " then " + std::to_string(batch));
    EXPECT_EQ(batched.lines, oneByOne.lines);
    EXPECT_EQ(batched.selected, oneByOne.selected);
    EXPECT_EQ(fast.logViewLineCount(), slow.logViewLineCount());
    EXPECT_LE(batched.adds - addsBefore, EventList::kMaxLines);
    EXPECT_EQ(batched.selects - selectsBefore, 1);
  }
}

// Headless, the list is stdout (the service's log): a burst must not lose the lines that a
// window would have cleared before anyone saw them.
TEST(EventList, AListThatPassesEveryLineOnGetsEveryLineOfABatch) {
  testing::FakeListControl stdoutList;
  stdoutList.passesEveryLineOn = true;
  EventList list(stdoutList);
  std::vector<std::string> expected;
  for (int i = 0; i < 250; ++i) {
    expected.push_back("line " + std::to_string(i));
    list.ShowLine(expected.back());
  }
  std::vector<std::string> batch;
  for (int i = 250; i < 1250; ++i) batch.push_back("line " + std::to_string(i));
  list.ShowLines(batch);

  expected.insert(expected.end(), batch.begin(), batch.end());
  EXPECT_EQ(stdoutList.added, expected);
}

}  // namespace
}  // namespace qs
