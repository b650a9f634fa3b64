// Waiting in tests: a condition with a deadline, never a bare sleep.
#pragma once

#include <chrono>
#include <thread>

namespace qs::testing {

// Polls condition until it holds or limit has passed; returns whether it held.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace qs::testing
