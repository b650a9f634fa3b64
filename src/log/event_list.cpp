// The 300-line rule of the event list.
#include "log/event_list.h"

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

}  // namespace qs
