// The POSIX serial backend against pty pairs: what only it has (the tests both backends
// share are in comm_contract_test.cpp).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/comm.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_testing.h"
#include "support/comm_port_pair.h"
#include "support/temp_dir.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using namespace qs::testing;

class CommPosixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    port = SystemComm().Open(pty.path());
    ASSERT_NE(port, nullptr);
  }

  void SetReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{interval, multiplier, constant, 0, 0}));
  }

  Dcb State() {
    Dcb dcb{};
    EXPECT_TRUE(port->GetState(dcb));
    return dcb;
  }

  PtyPair pty;
  std::unique_ptr<CommPort> port;
};

// --- Opening ---------------------------------------------------------------------------

TEST(CommPosixOpenTest, ComNamesFollowTheDosdevicesLinkInTheWorkingDirectory) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::TempDir dir;
  std::filesystem::create_directory(dir.path() / "dosdevices");
  std::filesystem::create_symlink(pty.path(), dir.path() / "dosdevices" / "com3");
  std::filesystem::create_symlink(pty.path(), dir.path() / "MYCOM2");
  testing::WorkingDirectory cwd(dir.path());

  for (const char* name : {"COM3", "\\\\.\\COM3", "MYCOM2"}) {
    auto port = SystemComm().Open(name);
    ASSERT_NE(port, nullptr) << name;
    // It is the pty: bytes written reach its far end, and the device is now held.
    EXPECT_TRUE(port->WriteByte(0x33)) << name;
    EXPECT_EQ(pty.Receive(1, kPrompt), "\x33") << name;
    EXPECT_EQ(SystemComm().Open(pty.path()), nullptr) << name;
  }
  // No link for COM4: it would be /dev/ttyS3, never the pty. A dangling link fails.
  std::filesystem::create_symlink(dir.path() / "nothing", dir.path() / "dosdevices" / "com5");
  EXPECT_EQ(SystemComm().Open("COM5"), nullptr);
  EXPECT_EQ(SystemComm().Open("com3"), nullptr);  // names are upper-cased by the caller
}

TEST(CommPosixOpenTest, OpeningKeepsTheRateButMakesTheLineRaw) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  termios tio = pty.Line();
  ::cfsetspeed(&tio, B57600);
  tio.c_lflag |= ICANON | ECHO;
  tio.c_iflag |= ICRNL | IXON;
  tio.c_cflag |= CSTOPB;
  ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &tio), 0);

  auto port = SystemComm().Open(pty.path());
  ASSERT_NE(port, nullptr);
  Dcb dcb{};
  ASSERT_TRUE(port->GetState(dcb));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  const termios now = pty.Line();
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(now.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.flags & kDcbOutX, 0u);
  EXPECT_EQ(now.c_cc[VMIN], 1);
}

// --- Lock files ------------------------------------------------------------------------

// Waits, within a bound, for a child process to end; its exit status, or -1.
int AwaitExit(pid_t child) {
  const auto deadline = Clock::now() + kPrompt;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0 && Clock::now() < deadline) ::usleep(1000);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LockText(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

class CommPosixLockTest : public ::testing::Test {
 protected:
  CommPosixLockTest() : saved_(posix::LockDirectory()) {
    posix::SetLockDirectory(locks.path().string());
  }
  ~CommPosixLockTest() override { posix::SetLockDirectory(saved_); }
  void SetUp() override { ASSERT_TRUE(pty.ok()); }

  std::string LockFile() const {
    return locks.File("LCK.." + std::filesystem::path(pty.path()).filename().string());
  }
  bool Locked() const { return std::filesystem::exists(LockFile()); }

  testing::TempDir locks;
  PtyPair pty;
  const std::string saved_;
};

TEST_F(CommPosixLockTest, ALiveOwnerKeepsThePortAndADeadOnesLockIsTakenOver) {
  char sleep[] = "sleep", seconds[] = "60";
  char* argv[] = {sleep, seconds, nullptr};
  pid_t other = -1;
  ASSERT_EQ(::posix_spawnp(&other, "sleep", nullptr, nullptr, argv, environ), 0);
  testing::WriteBytes(LockFile(), LockText(other));
  EXPECT_EQ(SystemComm().Open(pty.path()), nullptr);
  EXPECT_EQ(testing::ReadBytes(LockFile()), LockText(other));
  ::kill(other, SIGKILL);
  AwaitExit(other);

  auto port = SystemComm().Open(pty.path());
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(testing::ReadBytes(LockFile()), LockText(::getpid()));
  EXPECT_EQ(SystemComm().Open(pty.path()), nullptr);  // leaves the lock to the open port
  port->Close();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(locks.path()), {}), 0);
}

TEST_F(CommPosixLockTest, LeftOrHalfWrittenLocksAreFreeSymlinksLockTheirTargetNoFolderNoLock) {
  for (const std::string& left : {LockText(::getpid()), std::string(), std::string("junk\n")}) {
    testing::WriteBytes(LockFile(), left);
    EXPECT_NE(SystemComm().Open(pty.path()), nullptr) << left;
    EXPECT_FALSE(Locked()) << left;
  }
  std::filesystem::create_symlink(pty.path(), locks.path() / "ttyLINK");
  auto port = SystemComm().Open(locks.File("ttyLINK"));
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(Locked());
  port.reset();

  posix::SetLockDirectory(locks.File("missing"));
  EXPECT_NE(SystemComm().Open(pty.path()), nullptr);
}

TEST_F(CommPosixLockTest, APortLeftOpenAtExitLosesItsLock) {
  std::fflush(nullptr);  // the child must not print what the parent has buffered
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Left open on purpose, and still reachable (no leak): only the exit removes the lock.
    static CommPort* leftOpen = nullptr;
    leftOpen = SystemComm().Open(pty.path()).release();
    std::exit(leftOpen != nullptr && Locked() ? 0 : 3);
  }
  EXPECT_EQ(AwaitExit(child), 0);
  EXPECT_FALSE(Locked());
}

// --- Line settings ---------------------------------------------------------------------

TEST_F(CommPosixTest, RatesStopBitsAndFlowControlRoundTrip) {
  for (const std::uint32_t rate : {9600u, 115200u, 250000u, 31250u}) {
    Dcb dcb = State();
    dcb.BaudRate = rate;
    ASSERT_TRUE(port->SetState(dcb)) << rate;
    EXPECT_EQ(State().BaudRate, rate);
  }

  Dcb dcb = State();
  dcb.ByteSize = 8;
  dcb.StopBits = 2;
  dcb.flags |= kDcbOutxCtsFlow;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_NE(pty.Line().c_cflag & CSTOPB, 0u);
  EXPECT_NE(pty.Line().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(State().StopBits, 2);
  EXPECT_NE(State().flags & kDcbOutxCtsFlow, 0u);

  // RTS handshake alone also means CRTSCTS, and reads back as itself.
  dcb.StopBits = 0;
  dcb.flags &= ~(kDcbOutxCtsFlow | (3u << kDcbRtsControlShift));
  dcb.flags |= 2u << kDcbRtsControlShift;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_cflag & CSTOPB, 0u);
  EXPECT_NE(pty.Line().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(State().flags & kDcbOutxCtsFlow, 0u);
  EXPECT_EQ((State().flags >> kDcbRtsControlShift) & 3u, 2u);

  dcb.flags &= ~(3u << kDcbRtsControlShift);
  dcb.flags |= 1u << kDcbRtsControlShift;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_cflag & CRTSCTS, 0u);
}

TEST_F(CommPosixTest, SoftwareFlowControlAndParityCheckingMapToInputFlags) {
  Dcb dcb = State();
  dcb.flags |= kDcbOutX | kDcbInX | kDcbParity;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  ASSERT_TRUE(port->SetState(dcb));
  const termios tio = pty.Line();
  EXPECT_NE(tio.c_iflag & IXON, 0u);
  EXPECT_NE(tio.c_iflag & IXOFF, 0u);
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & PARMRK, 0u);
  EXPECT_EQ(tio.c_cc[VSTART], 0x11);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
  const Dcb back = State();
  EXPECT_EQ(back.flags & (kDcbOutX | kDcbInX | kDcbParity), kDcbOutX | kDcbInX | kDcbParity);
  EXPECT_EQ(back.XonChar, 0x11);
  EXPECT_EQ(back.XoffChar, 0x13);

  dcb.flags &= ~(kDcbOutX | kDcbInX | kDcbParity);
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_iflag & (IXON | IXOFF | INPCK), 0u);
}

TEST_F(CommPosixTest, FieldsWithoutATermiosTwinAreKept) {
  Dcb dcb = State();
  dcb.flags = kDcbOutxDsrFlow | (2u << kDcbDtrControlShift) | kDcbDsrSensitivity |
              kDcbTxContinueOnXoff | kDcbErrorChar | kDcbNull | (1u << kDcbRtsControlShift) |
              kDcbAbortOnError;  // fBinary left out: it always reads back as 1
  dcb.XonLim = 1234;
  dcb.XoffLim = 321;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  dcb.wReserved = 7;
  dcb.wReserved1 = 9;
  dcb.DCBlength = 99;
  ASSERT_TRUE(port->SetState(dcb));
  const Dcb back = State();
  EXPECT_EQ(back.DCBlength, kDcbSize);
  EXPECT_EQ(back.flags, dcb.flags | kDcbBinary);
  EXPECT_EQ(back.XonLim, 1234);
  EXPECT_EQ(back.XoffLim, 321);
  EXPECT_EQ(back.ErrorChar, '?');
  EXPECT_EQ(back.EofChar, 0x1A);
  EXPECT_EQ(back.EvtChar, '\n');
  EXPECT_EQ(back.wReserved, 7);
  EXPECT_EQ(back.wReserved1, 9);
}

TEST_F(CommPosixTest, GetStateReportsWhatTheDeviceHasNotWhatWasAsked) {
  // A pty keeps 8 data bits and no parity whatever it is told.
  Dcb dcb = State();
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(State().ByteSize, 8);
  EXPECT_EQ(State().Parity, 0);
}

// --- Cancel and hang-up ---------------------------------------------------------------

// Two reads at once and a write, all cancelled; nothing of the write goes out.
TEST_F(CommPosixTest, CancelEndsTwoReadsAndAWriteAtOnce) {
  SetReadTimeouts(0, 0, 0);  // and no write time-out either
  ASSERT_TRUE(pty.SuspendOutput());
  Background<TimedRead> first(*port, [&] { return ReadFrom(*port, 10); });
  Background<TimedRead> second(*port, [&] { return ReadFrom(*port, 10); });
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(write.Done(100ms));
  ASSERT_TRUE(CancelUntilDone(*port, first));
  ASSERT_TRUE(CancelUntilDone(*port, second));
  ASSERT_TRUE(CancelUntilDone(*port, write));
  EXPECT_EQ(first.Get().count, -1);
  EXPECT_EQ(second.Get().count, -1);
  EXPECT_FALSE(write.Get());
  ASSERT_TRUE(pty.ResumeOutput());
  EXPECT_EQ(pty.ReceiveAll(), "");
}

TEST_F(CommPosixTest, HangUpEndsAReadAndTellsTheDeviceGone) {
  SetReadTimeouts(0, 0, 0);
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  EXPECT_FALSE(read.Done(100ms));
  // A cancelled read is no sign of a device gone.
  ASSERT_TRUE(CancelUntilDone(*port, read));
  EXPECT_FALSE(port->Gone());
  Background<TimedRead> next(*port, [&] { return ReadFrom(*port, 10); });
  EXPECT_FALSE(next.Done(100ms));
  pty.CloseMaster();
  ASSERT_TRUE(next.Done(kPrompt));
  EXPECT_EQ(next.Get().count, -1);
  EXPECT_TRUE(port->Gone());
  EXPECT_EQ(ReadFrom(*port, 10).count, -1);
}

// --- What a pty cannot show: the system calls scripted --------------------------------

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
TEST_F(CommPosixScriptedTest, AByteIsQueuedOnlyOnceTheOutputQueueHasDrained) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 100}));
  Script::outputQueued = 3;  // held by the device for ever
  const auto start = Clock::now();
  EXPECT_FALSE(port->WriteByte('X'));
  EXPECT_GE(Since(start), 100ms - kEarly);
  EXPECT_EQ(Script::written.load(), 0) << "a byte that missed its time-out was queued";

  Script::drainAfter = 5;  // draining at the line rate
  EXPECT_TRUE(port->WriteByte('a'));
  EXPECT_EQ(Script::written.load(), 1);
  EXPECT_EQ(pty.Receive(1, kPrompt), "a");
  EXPECT_EQ(Script::flushes.load(), 0) << "queued bytes are never taken back";

  // Closing drops only what the device still holds, as close() would wait for it.
  Script::drainAfter = -1;
  port->Close();
  EXPECT_EQ(Script::flushes.load(), 1);
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
