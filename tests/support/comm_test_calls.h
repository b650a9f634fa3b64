// Helpers for serial-port tests: timed reads, calls on another thread, cancel until done.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "platform/comm.h"

namespace qs::testing {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using platform::CommPort;
using platform::CommTimeouts;
using platform::Dcb;

inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;
inline constexpr Ms kPrompt{2000};  // for "returns at once": far below any time-out in play

inline Ms Since(Clock::time_point start) {
  return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

// A call on another thread. If the test fails before the call returns, closing the port on
// the way out releases it, so a failing test cannot hang in the future's destructor.
template <typename T>
class Background {
 public:
  Background(CommPort& port, std::function<T()> call)
      : port_(port), future_(std::async(std::launch::async, std::move(call))) {}
  ~Background() {
    if (future_.valid() && !Done(Ms(0))) port_.Close();
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool Done(Ms limit) { return future_.wait_for(limit) == std::future_status::ready; }
  T Get() { return future_.get(); }

 private:
  CommPort& port_;
  std::future<T> future_;
};

struct TimedRead {
  long count;
  std::string bytes;
  Ms elapsed;
};

inline TimedRead ReadFrom(CommPort& port, std::size_t size) {
  std::vector<std::uint8_t> buffer(size);
  const auto start = Clock::now();
  const long count = port.Read(buffer.data(), size);
  TimedRead result{count, {}, Since(start)};
  if (count > 0) result.bytes.assign(buffer.begin(), buffer.begin() + count);
  return result;
}

// CancelIo only reaches an operation already running; a thread cannot tell from outside
// when that is, so cancel until the call returns. False when CancelIo failed or the call
// did not return in time.
template <typename T>
bool CancelUntilDone(CommPort& port, Background<T>& call) {
  const auto deadline = Clock::now() + kPrompt;
  while (Clock::now() < deadline) {
    if (!port.CancelIo()) return false;
    if (call.Done(Ms(10))) return true;
  }
  return false;
}

// Sets the read time-outs and the given write time-out constant.
inline bool SetReadTimeouts(CommPort& port, std::uint32_t interval, std::uint32_t multiplier,
                            std::uint32_t constant, std::uint32_t writeConstant = 0) {
  return port.SetTimeouts(CommTimeouts{interval, multiplier, constant, 0, writeConstant});
}

}  // namespace qs::testing
