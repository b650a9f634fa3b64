// A clock that shows whatever time the test sets.
#pragma once

#include <mutex>

#include "platform/clock.h"

namespace qs::testing {

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(platform::LocalTime now = {2021, 1, 15, 14, 5, 9}) : now_(now) {}

  platform::LocalTime Now() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
  }
  void Set(platform::LocalTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = now;
  }

 private:
  mutable std::mutex mutex_;
  platform::LocalTime now_;
};

}  // namespace qs::testing
