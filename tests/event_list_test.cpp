// The event list keeps at most 300 lines and always selects the newest.
#include "log/event_list.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace qs
