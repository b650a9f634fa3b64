// The POSIX serial backend against pty pairs.
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
#include "support/temp_dir.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;
// A 2-core machine under sanitizers: timers may end late, never early.
constexpr Ms kEarly = 10ms;
constexpr Ms kLate = 500ms;
constexpr Ms kPrompt = 2000ms;  // for "returns at once": far below any time-out in play

Ms Since(Clock::time_point start) {
  return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

Ms ThreadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return Ms(now.tv_sec * 1000 + now.tv_nsec / 1'000'000);
}

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
  std::string Receive(std::size_t count, Ms limit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
      if (left <= 0ms) break;
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
  std::string ReceiveAll() { return Receive(1u << 20, 50ms); }

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

// A call on another thread. If the test fails before the call returns, closing the port on
// the way out releases it, so a failing test cannot hang in the future's destructor.
template <typename T>
class Background {
 public:
  Background(CommPort& port, std::function<T()> call)
      : port_(port), future_(std::async(std::launch::async, std::move(call))) {}
  ~Background() {
    if (future_.valid() && !Done(0ms)) port_.Close();
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

TimedRead ReadFrom(CommPort& port, std::size_t size) {
  std::vector<std::uint8_t> buffer(size);
  const auto start = Clock::now();
  const long count = port.Read(buffer.data(), size);
  TimedRead result{count, {}, Since(start)};
  if (count > 0) result.bytes.assign(buffer.begin(), buffer.begin() + count);
  return result;
}

// Lock files go to a folder of the test's own, never to the machine's.
class LockDirectoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_.emplace();
    posix::SetLockDirectory(dir_->path().string());
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::optional<testing::TempDir> dir_;
};
[[maybe_unused]] ::testing::Environment* const kLockDirectory =
    ::testing::AddGlobalTestEnvironment(new LockDirectoryEnvironment);

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

TEST_F(CommPosixTest, OpenIsExclusiveUntilClosedAndRefusesWhatIsNoPort) {
  EXPECT_EQ(SystemComm().Open(pty.path()), nullptr);
  port->Close();
  auto again = SystemComm().Open(pty.path());
  EXPECT_NE(again, nullptr);
  again.reset();  // destroying closes too
  EXPECT_NE(SystemComm().Open(pty.path()), nullptr);

  EXPECT_EQ(SystemComm().Open("/dev/qs-no-such-port"), nullptr);
  testing::TempDir dir;
  testing::WriteBytes(dir.File("plain"), "not a tty");
  EXPECT_EQ(SystemComm().Open(dir.File("plain")), nullptr);
}

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

TEST_F(CommPosixTest, SetStateRefusesWhatSetCommStateRefusesAndChangesNothing) {
  Dcb good = State();
  good.BaudRate = 19200;
  good.ByteSize = 8;
  good.Parity = 0;
  good.StopBits = 0;
  good.XonChar = 0x11;
  good.XoffChar = 0x13;
  ASSERT_TRUE(port->SetState(good));
  const Dcb before = State();
  const termios lineBefore = pty.Line();

  // Each also asks for 57600 baud: a change that must not happen either.
  const struct {
    const char* what;
    std::uint32_t baud;
    std::uint8_t data, parity, stop;
    std::uint32_t flags;
    char xoff;
  } bad[] = {
      {"rate 0", 0, 8, 0, 0, 0, 0x13},
      {"4 data bits", 57600, 4, 0, 0, 0, 0x13},
      {"9 data bits", 57600, 9, 0, 0, 0, 0x13},
      {"parity 5", 57600, 8, 5, 0, 0, 0x13},
      {"1.5 stop bits with 8 data bits", 57600, 8, 0, 1, 0, 0x13},
      {"1.5 stop bits with 6 data bits", 57600, 6, 0, 1, 0, 0x13},
      {"2 stop bits with 5 data bits", 57600, 5, 0, 2, 0, 0x13},
      {"stop bits 3", 57600, 8, 0, 3, 0, 0x13},
      {"DTR control 3", 57600, 8, 0, 0, 3u << kDcbDtrControlShift, 0x13},
      {"XON equals XOFF with XON/XOFF flow", 57600, 8, 0, 0, kDcbOutX, 0x11},
  };
  for (const auto& b : bad) {
    Dcb dcb = good;
    dcb.BaudRate = b.baud;
    dcb.ByteSize = b.data;
    dcb.Parity = b.parity;
    dcb.StopBits = b.stop;
    dcb.flags |= b.flags;
    dcb.XoffChar = b.xoff;
    EXPECT_FALSE(port->SetState(dcb)) << b.what;
    const Dcb after = State();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << b.what;
    const termios lineAfter = pty.Line();
    EXPECT_EQ(::cfgetospeed(&lineBefore), ::cfgetospeed(&lineAfter)) << b.what;
  }

  // The edges that are allowed; the last is what a zeroed block filled from a mode string
  // looks like: both characters 0, no flow control.
  for (const auto& [data, parity, stop, xon] :
       {std::tuple<int, int, int, char>{5, 0, 1, 0x11}, {8, 4, 2, 0x11}, {8, 0, 0, 0}}) {
    Dcb dcb = good;
    dcb.ByteSize = static_cast<std::uint8_t>(data);
    dcb.Parity = static_cast<std::uint8_t>(parity);
    dcb.StopBits = static_cast<std::uint8_t>(stop);
    dcb.XonChar = xon;
    dcb.XoffChar = static_cast<char>(xon == 0 ? 0 : 0x13);
    EXPECT_TRUE(port->SetState(dcb)) << data << ' ' << parity << ' ' << stop;
  }
}

TEST_F(CommPosixTest, AllByteValuesPassUnchangedBothWaysWithParityChecking) {
  Dcb dcb = State();
  dcb.flags |= kDcbParity;
  ASSERT_TRUE(port->SetState(dcb));
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 2000, 0, 1000}));

  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string edges("\x41\xFF\x00\x42\xFF\xFF\x00\x0D\x0A\x11\x13", 11);
  for (const std::string& bytes : {edges, all}) {
    ASSERT_TRUE(pty.Send(bytes));
    EXPECT_EQ(ReadFrom(*port, bytes.size()).bytes, bytes);
    for (const char b : bytes) ASSERT_TRUE(port->WriteByte(static_cast<std::uint8_t>(b)));
    EXPECT_EQ(pty.Receive(bytes.size(), kPrompt), bytes);
  }
}

TEST_F(CommPosixTest, PurgeQueuesAndTimeoutLimitsWorkButAPtyHasNoModemLines) {
  ASSERT_TRUE(pty.Send("stale"));
  ASSERT_TRUE(pty.WaitQueued(5, kPrompt));
  EXPECT_TRUE(port->Purge(kPurgeRxClear | kPurgeTxClear));
  SetReadTimeouts(kMaxDword, 0, 0);
  EXPECT_EQ(ReadFrom(*port, 16).count, 0);
  EXPECT_TRUE(port->SetupQueues(4096, 4096));
  EXPECT_FALSE(port->SetTimeouts(CommTimeouts{kMaxDword, kMaxDword, kMaxDword, 0, 0}));
  EXPECT_TRUE(port->SetTimeouts(CommTimeouts{kMaxDword, kMaxDword, 0, 0, 0}));

  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));
  EXPECT_FALSE(port->EscapeFunction(kSetRts));
  EXPECT_FALSE(port->EscapeFunction(kClrDtr));
  EXPECT_FALSE(port->EscapeFunction(77));
  // Settings with DTR and RTS raised or lowered still apply on a device without them.
  Dcb dcb = State();
  dcb.flags &= ~((3u << kDcbDtrControlShift) | (3u << kDcbRtsControlShift));
  EXPECT_TRUE(port->SetState(dcb));
}

// --- Read time-outs --------------------------------------------------------------------

// A read of bytes already waiting (or of a silent line) and how long it takes.
TEST_F(CommPosixTest, ReadTimeoutsEndReadsOfWhatIsWaitingOnTime) {
  const struct {
    std::uint32_t timeouts[3];  // interval, multiplier, constant
    const char* waiting;
    std::size_t asked;
    Ms atLeast, atMost;
  } rows[] = {
      {{0, 0, 100}, "", 10, 100ms - kEarly, 100ms + kLate},
      {{0, 30, 40}, "", 4, 160ms - kEarly, 160ms + kLate},  // multiplier per byte asked
      {{0, 0, 150}, "ab", 10, 150ms - kEarly, 150ms + kLate},
      {{50, 0, 5000}, "de", 10, 50ms - kEarly, 50ms + kLate},  // the gap ends it early
      {{200, 0, 100}, "", 10, 100ms - kEarly, 100ms + kLate},  // the total before a gap
      {{kMaxDword, 0, 0}, "", 10, 0ms, kPrompt},               // what is there, at once
      {{kMaxDword, 0, 0}, "abc", 10, 0ms, kPrompt},
      {{kMaxDword, kMaxDword, 100}, "", 10, 100ms - kEarly, 100ms + kLate},
      {{kMaxDword, kMaxDword, 100}, "q", 10, 0ms, kPrompt},
      {{kMaxDword, 10, 100}, "ab", 4, 0ms, 140ms},  // buffered bytes return before the timer
  };
  for (const auto& row : rows) {
    const std::string waiting = row.waiting;
    const auto [interval, multiplier, constant] = row.timeouts;
    SCOPED_TRACE(::testing::Message()
                 << interval << ',' << multiplier << ',' << constant << " \"" << waiting << '"');
    SetReadTimeouts(interval, multiplier, constant);
    ASSERT_TRUE(pty.Send(waiting));
    ASSERT_TRUE(pty.WaitQueued(static_cast<int>(waiting.size()), kPrompt));
    const TimedRead got = ReadFrom(*port, row.asked);
    EXPECT_EQ(got.count, static_cast<long>(waiting.size()));
    EXPECT_EQ(got.bytes, waiting);
    EXPECT_GE(got.elapsed, row.atLeast);
    EXPECT_LE(got.elapsed, row.atMost);
  }
}

// A read that must still wait after quiet, until more bytes come.
TEST_F(CommPosixTest, ReadTimeoutsKeepAReadWaitingForBytesToCome) {
  const struct {
    std::uint32_t timeouts[3];
    std::size_t asked;
    const char* first;  // sent before checking that the read still waits
    Ms quiet;
    const char* then;
    const char* expected;
    Ms gapAfterThen;  // the least time from sending then to the read's end
    Ms total;         // the read's length, when a timer ends it (else 0)
  } rows[] = {
      // 0x80000000 * 2 is 0 in 32 bits, which would end the read at once.
      {{0, 0x80000000u, 0}, 2, "", 200ms, "xy", "xy", 0ms, 0ms},
      {{50, 0, 0}, 10, "", 300ms, "abc", "abc", 50ms - kEarly, 0ms},       // the gap timer waits
      {{kMaxDword, kMaxDword, 10000}, 10, "", 100ms, "r", "r", 0ms, 0ms},  // ends at the first
      // Nothing buffered: bytes arriving later do not end it, the timer or a full buffer does.
      {{kMaxDword, 10, 100}, 4, "", 30ms, "cd", "cd", 0ms, 140ms},
      // No time-outs: it waits for every byte asked (last, as it leaves one byte unread).
      {{0, 0, 0}, 4, "12", 200ms, "345", "1234", 0ms, 0ms},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    SetReadTimeouts(row.timeouts[0], row.timeouts[1], row.timeouts[2]);
    Background<TimedRead> read(*port, [&] { return ReadFrom(*port, row.asked); });
    ASSERT_TRUE(pty.Send(row.first));
    EXPECT_FALSE(read.Done(row.quiet));
    const auto sent = Clock::now();
    ASSERT_TRUE(pty.Send(row.then));
    ASSERT_TRUE(read.Done(kPrompt));
    EXPECT_GE(Since(sent), row.gapAfterThen);
    const TimedRead got = read.Get();
    EXPECT_EQ(got.bytes, row.expected);
    if (row.total > 0ms) {
      EXPECT_GE(got.elapsed, row.total - kEarly);
      EXPECT_LE(got.elapsed, row.total + kLate);
    }
  }
}

// --- Cancel, close and hang-up ---------------------------------------------------------

// CancelIo only reaches an operation already running; a thread cannot tell from outside
// when that is, so cancel until the call returns.
template <typename T>
bool CancelUntilDone(CommPort& port, Background<T>& call) {
  const auto deadline = Clock::now() + kPrompt;
  while (Clock::now() < deadline) {
    EXPECT_TRUE(port.CancelIo());
    if (call.Done(10ms)) return true;
  }
  return false;
}

TEST_F(CommPosixTest, CancelEndsEveryOperationInProgressAndNoLaterOne) {
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

  // Neither those cancels nor one with nothing running touch later operations: a read waits
  // for its time-out, sleeping meanwhile rather than spinning on a left-over wake-up.
  EXPECT_TRUE(port->CancelIo());
  SetReadTimeouts(0, 0, 100);
  const Ms cpuBefore = ThreadCpuTime();
  TimedRead got = ReadFrom(*port, 10);
  EXPECT_LT(ThreadCpuTime() - cpuBefore, 40ms);
  EXPECT_EQ(got.count, 0);
  EXPECT_GE(got.elapsed, 100ms - kEarly);
  ASSERT_TRUE(pty.Send("ok"));
  EXPECT_EQ(ReadFrom(*port, 2).bytes, "ok");
  EXPECT_TRUE(port->WriteByte(0x42));
  EXPECT_EQ(pty.Receive(1, kPrompt), "\x42");
}

TEST_F(CommPosixTest, ACancelledReadHandsBackWhatItHadRead) {
  SetReadTimeouts(0, 0, 0);
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  ASSERT_TRUE(pty.Send("ab"));
  ASSERT_TRUE(pty.WaitQueued(0, kPrompt));
  EXPECT_FALSE(read.Done(50ms));
  ASSERT_TRUE(CancelUntilDone(*port, read));
  EXPECT_EQ(read.Get().bytes, "ab");
}

// What the reader waits with between reads that end at once on a silent line.
TEST_F(CommPosixTest, WaitForInputEndsOnInputTheLimitOrACancel) {
  auto start = Clock::now();
  EXPECT_FALSE(port->WaitForInput(50ms));
  EXPECT_GE(Since(start), 50ms - kEarly);

  Background<bool> wait(*port, [&] { return port->WaitForInput(10s); });
  EXPECT_FALSE(wait.Done(50ms));
  ASSERT_TRUE(pty.Send("x"));
  ASSERT_TRUE(wait.Done(kPrompt));
  EXPECT_TRUE(wait.Get());
  EXPECT_TRUE(port->WaitForInput(10s)) << "the byte is still there";

  SetReadTimeouts(kMaxDword, 0, 0);
  EXPECT_EQ(ReadFrom(*port, 4).bytes, "x");
  Background<bool> cancelled(*port, [&] { return port->WaitForInput(10s); });
  ASSERT_TRUE(CancelUntilDone(*port, cancelled));
  EXPECT_FALSE(cancelled.Get());
}

TEST_F(CommPosixTest, CloseDuringAReadAndABlockedWriteEndsBothPromptly) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));
  ASSERT_TRUE(pty.SuspendOutput());
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(read.Done(100ms));  // both blocked
  EXPECT_FALSE(write.Done(0ms));
  const auto start = Clock::now();
  port->Close();
  EXPECT_LT(Since(start), kPrompt);
  // Close waits for them to leave, so they have returned (or are returning) by now.
  ASSERT_TRUE(read.Done(kPrompt));
  ASSERT_TRUE(write.Done(kPrompt));
  EXPECT_EQ(read.Get().count, -1);
  EXPECT_FALSE(write.Get());

  // The descriptor is gone, and a new one with the same number is not touched.
  const int reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(ReadFrom(*port, 1).count, -1);
  EXPECT_FALSE(port->WriteByte(1));
  Dcb dcb{};
  EXPECT_FALSE(port->GetState(dcb));
  EXPECT_FALSE(port->SetTimeouts(CommTimeouts{}));
  port->Close();  // again: harmless
  ::close(reused);

  // The device can be opened again.
  EXPECT_NE(SystemComm().Open(pty.path()), nullptr);
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

// --- Writing ---------------------------------------------------------------------------

TEST_F(CommPosixTest, AWriteThatCannotGoOutEndsAtItsTimeoutAndIsDiscarded) {
  // 100 ms either way: the constant alone, or the multiplier for one byte and a constant.
  for (const CommTimeouts timeouts :
       {CommTimeouts{0, 0, 0, 0, 100}, CommTimeouts{0, 0, 0, 60, 40}}) {
    ASSERT_TRUE(port->SetTimeouts(timeouts));
    ASSERT_TRUE(pty.SuspendOutput());
    const auto start = Clock::now();
    EXPECT_FALSE(port->WriteByte(0x5A));
    EXPECT_GE(Since(start), 100ms - kEarly);
    EXPECT_LE(Since(start), 100ms + kLate);
    ASSERT_TRUE(pty.ResumeOutput());
    EXPECT_EQ(pty.ReceiveAll(), "");
  }
  // With the line going again, writing works.
  EXPECT_TRUE(port->WriteByte(0x42));
  EXPECT_EQ(pty.Receive(1, kPrompt), "\x42");
}

// A write that times out takes back nothing that was reported written, and a close keeps
// what the far end has not read yet (more than the far end's line discipline holds).
TEST_F(CommPosixTest, BytesReportedWrittenSurviveALaterTimeoutAndTheClose) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 100}));
  std::string sent;
  for (int i = 0; i < 8000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  for (const char b : sent) ASSERT_TRUE(port->WriteByte(static_cast<std::uint8_t>(b)));
  ASSERT_TRUE(pty.SuspendOutput());
  EXPECT_FALSE(port->WriteByte('X'));
  ASSERT_TRUE(pty.ResumeOutput());
  EXPECT_TRUE(port->WriteByte('.'));
  port->Close();
  const std::string received = pty.Receive(sent.size() + 2, kPrompt);
  EXPECT_EQ(received.size(), sent.size() + 1);
  EXPECT_TRUE(received == sent + ".");
}

TEST_F(CommPosixTest, AWriteWaitsWhileTheLineIsHeldAndGoesOutOnceItResumes) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 5000}));
  ASSERT_TRUE(pty.SuspendOutput());
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(write.Done(100ms));
  EXPECT_EQ(pty.ReceiveAll(), "");
  ASSERT_TRUE(pty.ResumeOutput());
  ASSERT_TRUE(write.Done(kPrompt));
  EXPECT_TRUE(write.Get());
  EXPECT_EQ(pty.Receive(1, kPrompt), "\x5A");
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
