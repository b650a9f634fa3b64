// The main dialog's event list: appends lines and empties itself when it reaches 300.
#pragma once

#include <string>
#include <vector>

#include "log/screen_line_sink.h"
#include "platform/ui.h"

namespace qs {

// Drives the list control directly, so it runs on the user-interface thread.
class EventList final : public ScreenLineSink {
 public:
  static constexpr int kMaxLines = 300;

  explicit EventList(platform::ListControl& list) : list_(list) {}

  // The 301st line empties the list and becomes its first line again; each added line is
  // selected, which brings it into view.
  void ShowLine(std::string line) override;

  // Ends where showing the lines one by one would, but adds only those still on the list
  // after the batch and selects once, so a busy bridge cannot leave the window behind. A
  // list that passes every line on gets every line.
  void ShowLines(const std::vector<std::string>& lines);

  int logViewLineCount() const { return logViewLineCount_; }

 private:
  platform::ListControl& list_;
  int logViewLineCount_ = 0;
};

}  // namespace qs
