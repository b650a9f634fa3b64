// A scripted serial device behind the POSIX backend's system-call table: failures, hang-ups
// and a line that drains its output queue at the rate set.
#pragma once

#include <asm/termbits.h>
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_testing.h"

namespace qs::testing {

// What the device does instead of the truth; the test changes it only while no call runs.
struct ScriptedDevice {
  using Clock = std::chrono::steady_clock;

  static inline std::atomic<int> fd{-1};
  static inline std::atomic<int> failErrno{0};
  static inline std::atomic<int> failReads{0};  // so many of the next reads fail
  static inline std::atomic<int> eofReads{0};   // so many of the next reads find end of file
  static inline std::atomic<int> failPolls{0};
  static inline std::atomic<short> pollEvents{0};           // reported on the device by every poll
  static inline std::atomic<unsigned long> failRequest{0};  // an ioctl request that fails
  static inline std::atomic<int> flushes{0};                // output flushes

  // The line: each byte written takes ten bit times at the rate last set, one after the
  // other, and TIOCOUTQ counts those not yet gone. Off until the test turns it on.
  static inline std::atomic<bool> modelLine{false};
  static inline std::mutex lineMu;
  static inline std::uint32_t baud = 9600;
  static inline Clock::time_point busyUntil{};

  static Clock::duration CharTime() { return std::chrono::microseconds(10'000'000 / baud); }

  static int Fail() {
    errno = failErrno.load();
    return -1;
  }
  static bool Take(std::atomic<int>& count) {
    int n = count.load();
    while (n > 0 && !count.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
  }

  static int Open(const char* path, int flags) {
    const int result = platform::posix::RealSyscalls().open(path, flags);
    fd = result;
    return result;
  }
  static ssize_t Read(int f, void* buffer, std::size_t size) {
    if (f == fd && Take(failReads)) return Fail();
    if (f == fd && Take(eofReads)) return 0;
    return platform::posix::RealSyscalls().read(f, buffer, size);
  }
  static ssize_t Write(int f, const void* buffer, std::size_t size) {
    const ssize_t n = platform::posix::RealSyscalls().write(f, buffer, size);
    if (f == fd && n > 0 && modelLine) {
      std::lock_guard lock(lineMu);
      busyUntil = std::max(busyUntil, Clock::now()) + CharTime() * n;
    }
    return n;
  }
  static int Ioctl(int f, unsigned long request, void* argument) {
    if (f != fd) return platform::posix::RealSyscalls().ioctl(f, request, argument);
    if (request == failRequest) return Fail();
    if (modelLine && request == TIOCOUTQ) {
      std::lock_guard lock(lineMu);
      const auto left = busyUntil - Clock::now();
      *static_cast<int*>(argument) =
          left > Clock::duration::zero() ? static_cast<int>(left / CharTime()) + 1 : 0;
      return 0;
    }
    if (request == TCFLSH && argument == reinterpret_cast<void*>(std::uintptr_t{TCOFLUSH})) {
      ++flushes;
      std::lock_guard lock(lineMu);
      busyUntil = {};
    }
    const int result = platform::posix::RealSyscalls().ioctl(f, request, argument);
    if (request == TCSETS2 && result == 0) {
      std::lock_guard lock(lineMu);
      baud = static_cast<const termios2*>(argument)->c_ospeed;
    }
    return result;
  }
  static int Ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    if (fds[0].fd != fd) return platform::posix::RealSyscalls().ppoll(fds, count, timeout, mask);
    if (Take(failPolls)) return Fail();
    if (pollEvents != 0) {
      fds[0].revents = pollEvents;
      return 1;
    }
    return platform::posix::RealSyscalls().ppoll(fds, count, timeout, mask);
  }

  // table with the device's calls in place of the system's.
  static platform::posix::Syscalls Over(platform::posix::Syscalls table) {
    table.open = Open;
    table.read = Read;
    table.write = Write;
    table.ioctl = Ioctl;
    table.ppoll = Ppoll;
    return table;
  }

  static void Reset() {
    failErrno = 0;
    failReads = 0;
    eofReads = 0;
    failPolls = 0;
    pollEvents = 0;
    failRequest = 0;
    flushes = 0;
    modelLine = false;
    std::lock_guard lock(lineMu);
    baud = 9600;
    busyUntil = {};
  }
};

}  // namespace qs::testing
