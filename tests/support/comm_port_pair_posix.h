// The port under test and its far end on Linux: the two ends of a pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/comm_posix_testing.h"
#include "support/comm_test_calls.h"
#include "support/temp_dir.h"

namespace qs::testing {

// A 2-core machine under sanitizers: timers may end late, never early.
inline constexpr Ms kEarly{10};
inline constexpr Ms kLate{500};

inline Ms ThreadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return Ms(now.tv_sec * 1000 + now.tv_nsec / 1'000'000);
}

// Lock files go to a folder of the test's own, never to the machine's.
class LockDirectoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_.emplace();
    platform::posix::SetLockDirectory(dir_->path().string());
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::optional<TempDir> dir_;
};
inline ::testing::Environment* const kLockDirectory =
    ::testing::AddGlobalTestEnvironment(new LockDirectoryEnvironment);

// Both ends of a pseudo-terminal. The test keeps its own descriptor of the slave (the
// port's device) to look at the line settings and the input queue without reading it.
class PtyPair {
 public:
  PtyPair() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    path_ = ::ttyname(slave_);
  }
  ~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& path() const { return path_; }
  int slave() const { return slave_; }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

  // Bytes towards the port.
  bool Send(const std::string& bytes) {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Bytes the port sent: up to count of them, waiting at most limit.
  std::string Receive(std::size_t count, Ms limit = Ms(5000)) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
      if (left <= Ms(0)) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // Everything the port has sent so far.
  std::string ReceiveAll() { return Receive(1u << 20, Ms(50)); }

  // Waits until the port's input queue holds at least count bytes.
  bool WaitQueued(int count, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int queued = 0;
      if (::ioctl(slave_, FIONREAD, &queued) == 0 && queued >= count) return true;
      pollfd p{slave_, POLLIN, 0};
      ::poll(&p, 1, 1);
    }
    return false;
  }

  // Suspends the line's output, as an XOFF from the device would: a byte written then finds
  // no room and stays unsent until ResumeOutput. (Filling the queue instead is not reliable:
  // the kernel frees room in the background, at times long after a write first fails.)
  bool SuspendOutput() { return ::tcflow(slave_, TCOOFF) == 0; }
  bool ResumeOutput() { return ::tcflow(slave_, TCOON) == 0; }

  termios Line() const {
    termios tio{};
    ::tcgetattr(slave_, &tio);
    return tio;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// What the shared serial-port tests need of a pair, on a pty.
class CommPortPair {
 public:
  // What a pty shows, and what it cannot.
  static constexpr bool kSecondOpenRefused = true;
  static constexpr bool kReportsDataBitsAndParity = true;
  static constexpr bool kWineLineSettings = false;  // see the Win32 pair
  static constexpr bool kNoModemLines = true;
  static constexpr bool kWineReadTimeouts = false;  // see the Win32 pair
  static constexpr Ms kCloseWithin = kPrompt;

  bool ok() const { return pty_.ok(); }
  const std::string& path() const { return pty_.path(); }
  bool Prepare(CommPort&) { return true; }
  std::vector<std::string> NoPorts() {
    WriteBytes(dir_.File("plain"), "not a tty");
    return {"/dev/qs-no-such-port", dir_.File("plain")};
  }

  bool Send(const std::string& bytes) { return pty_.Send(bytes); }
  std::string Receive(std::size_t count, Ms limit = Ms(5000)) { return pty_.Receive(count, limit); }
  std::string ReceiveAll() { return pty_.ReceiveAll(); }
  bool SeesInputQueue() const { return true; }
  bool WaitQueued(int count, Ms limit) { return pty_.WaitQueued(count, limit); }
  bool HoldOutput(CommPort&) { return pty_.SuspendOutput(); }
  bool ResumeOutput(CommPort&) { return pty_.ResumeOutput(); }
  // While it lives, the number of the port's closed descriptor is taken again.
  class HandleReuse {
   public:
    HandleReuse() : fd_(::open("/dev/null", O_RDONLY | O_CLOEXEC)) {}
    ~HandleReuse() {
      if (fd_ >= 0) ::close(fd_);
    }
    HandleReuse(const HandleReuse&) = delete;
    HandleReuse& operator=(const HandleReuse&) = delete;

   private:
    int fd_;
  };

  // The rate the device itself has, beside what the port reports.
  long DeviceRate() const {
    const termios tio = pty_.Line();
    return static_cast<long>(::cfgetospeed(&tio));
  }

 private:
  PtyPair pty_;
  TempDir dir_;
};

}  // namespace qs::testing
