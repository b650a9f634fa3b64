// The 300-line rule of the event list.
#include "log/event_list.h"

#include <cstddef>

namespace qs {

void EventList::ShowLine(std::string line) {
  if (logViewLineCount_ >= kMaxLines) {
    logViewLineCount_ = 0;
    list_.ResetContent();
  }
  list_.AddString(line);
  list_.SetCurSel(logViewLineCount_);
  ++logViewLineCount_;
}

void EventList::ShowLines(const std::vector<std::string>& lines) {
  if (list_.PassesEveryLineOn()) {
    // Headless the list is the event list on stdout: every line goes out, in order.
    for (const std::string& line : lines) ShowLine(line);
    return;
  }
  const std::size_t count = lines.size();
  if (count == 0) return;
  // Lines from the batch index firstReset on empty the list every 300; the last such
  // emptying starts what stays on it.
  const std::size_t firstReset = static_cast<std::size_t>(kMaxLines - logViewLineCount_);
  std::size_t first = 0;
  if (firstReset < count) {
    const std::size_t max = kMaxLines;
    first = firstReset + (count - 1 - firstReset) / max * max;
    logViewLineCount_ = 0;
    list_.ResetContent();
  }
  for (std::size_t i = first; i < count; ++i) list_.AddString(lines[i]);
  logViewLineCount_ += static_cast<int>(count - first);
  list_.SetCurSel(logViewLineCount_ - 1);
}

}  // namespace qs
