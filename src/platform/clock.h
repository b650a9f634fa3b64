// Clock seam: the local wall-clock time, as the event log stamps its lines.
#pragma once

namespace qs::platform {

struct LocalTime {
  int year = 0;   // full year, e.g. 2021
  int month = 0;  // 1-12
  int day = 0;    // 1-31
  int hour = 0;   // 0-23
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime Now() const = 0;
};

// The machine's local clock.
Clock& SystemClock();

}  // namespace qs::platform
