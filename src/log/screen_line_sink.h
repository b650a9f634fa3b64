// Where the event log hands its on-screen lines: the open main dialog's event list.
#pragma once

#include <string>

namespace qs {

class ScreenLineSink {
 public:
  virtual ~ScreenLineSink() = default;
  // Takes one screen line ("HH:MM:SS MM/DD/YY text"). May be called from any thread that
  // logs; an implementation that touches a window must hand the line to its own thread.
  virtual void ShowLine(std::string line) = 0;
};

}  // namespace qs
