// Local clock on Windows.
#include <windows.h>

#include "platform/clock.h"

namespace qs::platform {
namespace {

class Win32Clock final : public Clock {
 public:
  LocalTime Now() const override {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
  }
};

}  // namespace

Clock& SystemClock() {
  static Win32Clock clock;
  return clock;
}

}  // namespace qs::platform
