// The POSIX serial backend on a pty with some system calls scripted: queued output, EINTR, EIO.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/comm.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "support/comm_posix_fixture.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using namespace qs::testing;

// Scripts the calls on the port's descriptor; all other calls, and unscripted ones, are real.
struct Script {
  static inline std::atomic<int> deviceFd{-1};
  static inline std::atomic<int> outputQueued{-1};  // what TIOCOUTQ reports; -1: the truth
  static inline std::atomic<int> drainAfter{-1};    // it reports 0 after this many looks
  static inline std::atomic<int> failErrno{0};
  static inline std::atomic<int> failWrites{0};  // so many of the next writes fail
  static inline std::atomic<int> failReads{0};
  static inline std::atomic<int> readsBeforeFailing{-1};  // then every read fails
  static inline std::atomic<int> failPolls{0};
  static inline std::atomic<int> written{0};  // bytes written to the device
  static inline std::atomic<int> flushes{0};  // output flushes of the device

  static bool Take(std::atomic<int>& count) {
    int n = count.load();
    while (n > 0 && !count.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
  }
  static int Fail() {
    errno = failErrno.load();
    return -1;
  }

  static int Open(const char* path, int flags) {
    const int fd = posix::RealSyscalls().open(path, flags);
    deviceFd = fd;
    return fd;
  }
  static ssize_t Read(int fd, void* buffer, std::size_t size) {
    if (fd == deviceFd &&
        (Take(failReads) || (readsBeforeFailing.load() >= 0 && !Take(readsBeforeFailing)))) {
      return Fail();
    }
    return posix::RealSyscalls().read(fd, buffer, size);
  }
  static ssize_t Write(int fd, const void* buffer, std::size_t size) {
    if (fd != deviceFd) return posix::RealSyscalls().write(fd, buffer, size);
    if (Take(failWrites)) return Fail();
    const ssize_t n = posix::RealSyscalls().write(fd, buffer, size);
    if (n > 0) written += static_cast<int>(n);
    return n;
  }
  static int Ioctl(int fd, unsigned long request, void* argument) {
    if (fd == deviceFd && request == TIOCOUTQ && outputQueued.load() >= 0) {
      *static_cast<int*>(argument) =
          Take(drainAfter) || drainAfter.load() < 0 ? outputQueued.load() : 0;
      return 0;
    }
    if (fd == deviceFd && request == TCFLSH &&
        argument == reinterpret_cast<void*>(std::uintptr_t{TCOFLUSH})) {
      ++flushes;
    }
    return posix::RealSyscalls().ioctl(fd, request, argument);
  }
  static int Ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    if (fds[0].fd == deviceFd && Take(failPolls)) return Fail();
    return posix::RealSyscalls().ppoll(fds, count, timeout, mask);
  }
};

class CommPosixScriptedTest : public CommPosixTest {
 protected:
  CommPosixScriptedTest() : saved_(posix::Sys()) {
    Script::outputQueued = -1;
    Script::drainAfter = -1;
    Script::failWrites = 0;
    Script::failReads = 0;
    Script::readsBeforeFailing = -1;
    Script::failPolls = 0;
    Script::written = 0;
    Script::flushes = 0;
    posix::Syscalls table = saved_;
    table.open = Script::Open;
    table.read = Script::Read;
    table.write = Script::Write;
    table.ioctl = Script::Ioctl;
    table.ppoll = Script::Ppoll;
    posix::Sys() = table;
  }
  ~CommPosixScriptedTest() override { posix::Sys() = saved_; }
  void TearDown() override { port.reset(); }

  const posix::Syscalls saved_;
};

// A real UART counts what waits in its output queue (a pty always reads 0).
// At the pty's rate one character may wait in the queue before the next byte is handed on.
TEST_F(CommPosixScriptedTest, AByteIsQueuedOnlyOnceTheOutputQueueHasRoomForIt) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 100}));
  Script::outputQueued = 2;  // held by the device for ever
  auto start = Clock::now();
  EXPECT_FALSE(port->WriteByte('X'));
  EXPECT_GE(Since(start), 100ms - kEarly);
  EXPECT_EQ(Script::written.load(), 0) << "a byte that missed its time-out was queued";

  Script::drainAfter = 5;  // draining at the line rate
  EXPECT_TRUE(port->WriteByte('a'));
  Script::outputQueued = 1;  // one character still going out: the next byte waits behind it
  Script::drainAfter = -1;
  EXPECT_TRUE(port->WriteByte('b'));
  EXPECT_EQ(Script::written.load(), 2);
  EXPECT_EQ(pty.Receive(2, kPrompt), "ab");
  EXPECT_EQ(Script::flushes.load(), 0) << "queued bytes are never taken back";

  // Closing drops what the device still holds once the last byte's time-out has run out,
  // as close() would wait for it.
  Script::outputQueued = 2;
  start = Clock::now();
  port->Close();
  EXPECT_EQ(Script::flushes.load(), 1);
  EXPECT_LT(Since(start), 100ms + kPrompt) << "the wait at close is bounded";
}

TEST_F(CommPosixScriptedTest, InterruptedCallsAreRepeated) {
  Script::failErrno = EINTR;
  Script::failWrites = 1;
  EXPECT_TRUE(port->WriteByte('w'));
  EXPECT_EQ(pty.Receive(2, 100ms), "w");

  SetReadTimeouts(0, 0, 0);
  Script::failReads = 1;
  Script::failPolls = 1;
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 2); });
  EXPECT_FALSE(read.Done(50ms));
  ASSERT_TRUE(pty.Send("rs"));
  ASSERT_TRUE(read.Done(kPrompt));
  EXPECT_EQ(read.Get().bytes, "rs");
}

TEST_F(CommPosixScriptedTest, AnIoErrorEndsReadsAndWritesAndKeepsWhatWasRead) {
  Script::failErrno = EIO;
  Script::failWrites = 1;
  EXPECT_FALSE(port->WriteByte('e'));
  EXPECT_TRUE(port->WriteByte('f'));
  EXPECT_EQ(pty.Receive(2, 100ms), "f");
  EXPECT_EQ(Script::flushes.load(), 0);

  SetReadTimeouts(0, 0, 0);
  ASSERT_TRUE(pty.Send("ab"));
  ASSERT_TRUE(pty.WaitQueued(2, kPrompt));
  Script::readsBeforeFailing = 1;  // the bytes there, then the device fails
  EXPECT_FALSE(port->Gone()) << "a failed write alone";
  EXPECT_EQ(ReadFrom(*port, 10).bytes, "ab");
  EXPECT_TRUE(port->Gone());
  EXPECT_EQ(ReadFrom(*port, 10).count, -1);
}

}  // namespace
}  // namespace qs::platform
