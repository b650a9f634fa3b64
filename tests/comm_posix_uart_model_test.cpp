// The modelled UART, and the POSIX writer on it: the line stays busy while bytes keep coming.
#include "platform/posix/comm_posix_uart_model.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "platform/comm.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_testing.h"
#include "support/temp_dir.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;

class CommPosixUartModelTest : public ::testing::Test {
 protected:
  CommPosixUartModelTest() : savedLocks_(posix::LockDirectory()), savedTable_(posix::Sys()) {
    posix::SetLockDirectory(locks_.path().string());
  }
  ~CommPosixUartModelTest() override {
    port.reset();
    posix::RemoveUartModel();
    posix::Sys() = savedTable_;
    posix::SetLockDirectory(savedLocks_);
    if (master_ >= 0) ::close(master_);
  }

  void SetUp() override {
    // No <pty.h>: its termios clashes with the kernel's termios2.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    path_ = ::ptsname(master_);
  }

  // The port on the model, at baud, with a write time-out of a second.
  void OpenAt(std::size_t fifo, std::uint32_t baud) {
    posix::InstallUartModel(fifo);
    port = SystemComm().Open(path_);
    ASSERT_NE(port, nullptr);
    Dcb dcb{};
    ASSERT_TRUE(port->GetState(dcb));
    dcb.BaudRate = baud;
    ASSERT_TRUE(port->SetState(dcb));
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  }

  // Reads the far end until count bytes came or nothing comes for a while.
  std::future<std::string> ReceiveInBackground(std::size_t count) {
    return std::async(std::launch::async, [this, count] {
      std::string got;
      char buffer[512];
      pollfd p{master_, POLLIN, 0};
      while (got.size() < count && ::poll(&p, 1, 5000) > 0) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
      }
      return got;
    });
  }

  // Writes count bytes one at a time as the bridge does; the model's counts for them.
  posix::UartModelCounts WriteThrough(std::size_t count) {
    std::string sent;
    for (std::size_t i = 0; i < count; ++i) sent.push_back(static_cast<char>('a' + i % 26));
    auto received = ReceiveInBackground(count);
    posix::ResetUartModelStatistics();
    for (char c : sent) {
      if (!port->WriteByte(static_cast<std::uint8_t>(c))) {
        ADD_FAILURE() << "a write was refused";
        break;
      }
    }
    const posix::UartModelCounts counts = posix::UartModelStatistics();
    EXPECT_EQ(received.get(), sent);
    return counts;
  }

  std::unique_ptr<CommPort> port;
  std::string path_;
  int master_ = -1;

 private:
  testing::TempDir locks_;
  const std::string savedLocks_;
  const posix::Syscalls savedTable_;
};

// At 50 baud a character takes 200 ms: nothing leaves the queue while the test looks.
TEST_F(CommPosixUartModelTest, TheQueueCountsWhatTheFifoDoesNotHold) {
  for (const int fifo : {0, 16}) {
    SCOPED_TRACE(fifo);
    posix::InstallUartModel(static_cast<std::size_t>(fifo));
    const posix::Syscalls& sys = posix::Sys();
    const int fd = sys.open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios2 tio{};
    ASSERT_EQ(sys.ioctl(fd, TCGETS2, &tio), 0);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | BOTHER;
    tio.c_ospeed = 50;
    ASSERT_EQ(sys.ioctl(fd, TCSETS2, &tio), 0);
    posix::ResetUartModelStatistics();

    int queued = -1;
    ASSERT_EQ(sys.ioctl(fd, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 0);
    ASSERT_EQ(sys.write(fd, "twenty bytes, queued", 20), 20);
    ASSERT_EQ(sys.ioctl(fd, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 20 - fifo) << "the FIFO's bytes are in the hardware";
    EXPECT_EQ(posix::UartModelStatistics().characters, 20u);
    char far[32];
    pollfd p{master_, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::read(master_, far, sizeof far), 20) << "the device gets every byte at once";

    // A flush drops what waits for the FIFO; the FIFO sends what it holds.
    ASSERT_EQ(sys.ioctl(fd, TCFLSH, reinterpret_cast<void*>(std::uintptr_t{TCOFLUSH})), 0);
    ASSERT_EQ(sys.ioctl(fd, TIOCOUTQ, &queued), 0);
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(sys.close(fd), 0);
    posix::RemoveUartModel();
  }
}

// The model notes every idle spell of more than three character times between two characters
// (260 us at 115,200 baud). A writer that waits out each byte and looks again after a character
// time leaves a few microseconds between them; one that looks once a millisecond leaves about
// a millisecond before every byte. Counting spells rather than timing the whole transfer keeps
// this apart on a loaded machine: a thread put off now and then costs a spell each time, and a
// quarter of them may go long before the test fails.
TEST_F(CommPosixUartModelTest, WithoutAFifoEachByteFollowsTheLastWithinACharacterTime) {
  OpenAt(0, 115'200);
  constexpr std::size_t kBytes = 2000;
  const posix::UartModelCounts counts = WriteThrough(kBytes);
  EXPECT_EQ(counts.characters, kBytes);
  EXPECT_LE(counts.longGaps, (kBytes - 1) / 4)
      << "idle for " << std::chrono::duration_cast<std::chrono::microseconds>(counts.idle).count()
      << " us";
}

// With a 16-byte FIFO at 921,600 baud the hardware holds 174 us of line time: a writer that
// tops it up byte by byte never lets it run dry, one that looks once a millisecond lets it run
// dry after every 17 bytes.
TEST_F(CommPosixUartModelTest, WithAFifoTheWriterKeepsItFromRunningDry) {
  OpenAt(16, 921'600);
  constexpr std::size_t kBytes = 3000;
  const posix::UartModelCounts counts = WriteThrough(kBytes);
  EXPECT_EQ(counts.characters, kBytes);
  EXPECT_LE(counts.longGaps, kBytes / 64)
      << "idle for " << std::chrono::duration_cast<std::chrono::microseconds>(counts.idle).count()
      << " us";
}

// Watches the writer's timed waits (one descriptor, its wake-up, and a limit) on the model's
// line: a wait that ends when the line has already been idle for more than a character
// time lasted longer than what the driver held for the line.
struct WaitWatch {
  static inline std::atomic<int> deviceFd{-1};
  static inline std::atomic<std::int64_t> charTimeNs{0};
  static inline std::atomic<int> waits{0};
  static inline std::atomic<int> overlong{0};

  static int Open(const char* path, int flags) {
    const int fd = posix::RealSyscalls().open(path, flags);
    deviceFd = fd;
    return fd;
  }
  static int Ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    const int result = posix::RealSyscalls().ppoll(fds, count, timeout, mask);
    if (count == 1 && timeout != nullptr && fds[0].fd >= 0 && fds[0].fd != deviceFd) {
      ++waits;
      if (posix::UartModelIdleFor(deviceFd).count() > charTimeNs) ++overlong;
    }
    return result;
  }
};

// Without a FIFO at 921,600 baud a character takes 11 us, less than a thread takes to wake
// up: a writer that waits until the queue is empty before it hands on the next byte wakes
// to an idle line every time, and one that looks once a millisecond lets even a 16-byte FIFO
// run dry. One that hands a byte on while a few characters still wait wakes while they are
// going out, save when the machine keeps it off for longer. A writer slowed down (under a
// sanitizer) seldom waits at all: this counts only the waits, and lets one in eight go long.
TEST_F(CommPosixUartModelTest, TheWriterWakesBeforeTheLineRunsDry) {
  struct Case {
    std::size_t fifo;
    std::uint32_t baud;
  };
  for (const Case c : {Case{0, 115'200}, Case{0, 921'600}, Case{16, 921'600}}) {
    SCOPED_TRACE(::testing::Message() << c.baud << " baud, FIFO " << c.fifo);
    port.reset();
    posix::RemoveUartModel();
    WaitWatch::waits = 0;
    WaitWatch::overlong = 0;
    WaitWatch::charTimeNs = std::int64_t{10} * 1'000'000'000 / c.baud;
    posix::Sys().open = WaitWatch::Open;
    posix::Sys().ppoll = WaitWatch::Ppoll;
    OpenAt(c.fifo, c.baud);
    constexpr std::size_t kBytes = 2000;
    EXPECT_EQ(WriteThrough(kBytes).characters, kBytes);
    EXPECT_LE(WaitWatch::overlong.load(), 1 + WaitWatch::waits.load() / 8)
        << WaitWatch::overlong.load() << " of " << WaitWatch::waits.load()
        << " waits ended on an idle line";
  }
}

}  // namespace
}  // namespace qs::platform
