// The POSIX serial backend on what a pty cannot show: calls failing with EIO, EINTR or ENOTTY,
// a device that vanishes, an output queue that drains at the line rate, and the failure record.
#include <asm/termbits.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "platform/comm.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_testing.h"
#include "support/scripted_device.h"
#include "support/temp_dir.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using posix::LastFailure;
using Device = testing::ScriptedDevice;

constexpr auto kPrompt = 2000ms;  // "at once", on a loaded machine under sanitizers

bool Names(const LastFailure& failure, const std::string& call, int error) {
  return failure.call != nullptr && failure.call == call && failure.error == error;
}

LastFailure Latest() {
  return posix::RecentSyscallFailures()[0];
}

class CommPosixSyscallTest : public ::testing::Test {
 protected:
  CommPosixSyscallTest() : savedLocks_(posix::LockDirectory()), savedTable_(posix::Sys()) {
    posix::SetLockDirectory(locks.path().string());
    Device::Reset();
    posix::Sys() = Device::Over(savedTable_);
  }
  ~CommPosixSyscallTest() override {
    port.reset();
    posix::Sys() = savedTable_;
    posix::SetLockDirectory(savedLocks_);
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  void SetUp() override {
    // No <pty.h>: its termios clashes with the kernel's termios2 that the model reads.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    path_ = ::ptsname(master_);
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);  // keeps the line up between ports
    ASSERT_GE(slave_, 0);
    port = SystemComm().Open(path_);
    ASSERT_NE(port, nullptr);
  }

  long Read(std::size_t size) {
    std::string buffer(size, '\0');
    return port->Read(reinterpret_cast<std::uint8_t*>(buffer.data()), size);
  }
  std::string Received() {
    std::string got;
    pollfd p{master_, POLLIN, 0};
    char buffer[256];
    while (::poll(&p, 1, 50) > 0) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool LockDirectoryEmpty() const { return std::filesystem::is_empty(locks.path()); }

  testing::TempDir locks;
  std::unique_ptr<CommPort> port;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;

 private:
  const std::string savedLocks_;
  const posix::Syscalls savedTable_;
};

TEST_F(CommPosixSyscallTest, AVanishedDeviceIsGoneWhicheverWayTheSystemTellsIt) {
  struct Case {
    const char* what;
    int eofReads, failReads, failErrno, failPolls;
    short pollEvents;
    const char* call;
    int error;
  };
  const Case cases[] = {
      {"end of file", 1, 0, 0, 0, 0, "read", 0},
      {"EIO on read", 0, 1, EIO, 0, 0, "read", EIO},
      {"ENXIO on read", 0, 1, ENXIO, 0, 0, "read", ENXIO},
      {"POLLHUP", 0, 0, 0, 0, POLLHUP, "ppoll", 0},
      {"POLLERR", 0, 0, 0, 0, POLLERR, "ppoll", 0},
      {"poll failing", 0, 0, ENOMEM, 1, 0, "ppoll", ENOMEM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port.reset();
    port = SystemComm().Open(path_);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));  // reads wait for ever
    Device::eofReads = c.eofReads;
    Device::failReads = c.failReads;
    Device::failErrno = c.failErrno;
    Device::failPolls = c.failPolls;
    Device::pollEvents = c.pollEvents;
    auto read = std::async(std::launch::async, [&] { return Read(8); });
    const bool ended = read.wait_for(kPrompt) == std::future_status::ready;
    if (!ended) port->Close();  // lets the read go, so the test cannot hang
    ASSERT_TRUE(ended);
    EXPECT_EQ(read.get(), -1);
    EXPECT_TRUE(port->Gone());
    EXPECT_TRUE(Names(Latest(), c.call, c.error)) << Latest().call << " " << Latest().error;
    Device::pollEvents = 0;
  }
}

TEST_F(CommPosixSyscallTest, InterruptedCallsAreRepeatedAndNoted) {
  ASSERT_EQ(::write(master_, "in", 2), 2);
  Device::failErrno = EINTR;
  Device::failPolls = 1;
  EXPECT_TRUE(port->WaitForInput(kPrompt));
  EXPECT_TRUE(Names(Latest(), "ppoll", EINTR));

  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{kMaxDword, 0, 0, 0, 0}));  // what is there
  Device::failReads = 1;
  EXPECT_EQ(Read(8), 2);
  EXPECT_TRUE(Names(Latest(), "read", EINTR));
  EXPECT_FALSE(port->Gone());
}

TEST_F(CommPosixSyscallTest, WhatIsNoTerminalIsRefusedAndLeavesNeitherLockNorDescriptor) {
  port.reset();
  testing::TempDir dir;
  testing::WriteBytes(dir.File("plain"), "not a tty");
  for (const std::string& path : {dir.File("plain"), std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(SystemComm().Open(path), nullptr);
    EXPECT_TRUE(Names(Latest(), "ioctl", ENOTTY)) << Latest().call << " " << Latest().error;
    EXPECT_TRUE(LockDirectoryEmpty());
  }
  // A terminal whose driver knows no termios2: refused, and its flock is gone with it.
  Device::failErrno = ENOTTY;
  Device::failRequest = TCGETS2;
  EXPECT_EQ(SystemComm().Open(path_), nullptr);
  EXPECT_TRUE(Names(Latest(), "ioctl", ENOTTY));
  EXPECT_TRUE(LockDirectoryEmpty());
  Device::failRequest = 0;
  EXPECT_NE(SystemComm().Open(path_), nullptr);
}

TEST_F(CommPosixSyscallTest, ModemLinesADeviceLacksFailHarmlessly) {
  // A pty has no modem lines.
  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));
  EXPECT_TRUE(Names(Latest(), "ioctl", ENOTTY));
  EXPECT_FALSE(port->EscapeFunction(kSetDtr));
  Dcb dcb{};
  ASSERT_TRUE(port->GetState(dcb));
  EXPECT_TRUE(port->SetState(dcb)) << "DTR and RTS on";
  EXPECT_TRUE(Names(Latest(), "ioctl", ENOTTY));
  EXPECT_TRUE(port->WriteByte('m'));
  EXPECT_EQ(Received(), "m");
  EXPECT_FALSE(port->Gone());
}

TEST_F(CommPosixSyscallTest, AFailedSettingsCallFailsOnlyItselfAndChangesNothing) {
  Dcb before{};
  ASSERT_TRUE(port->GetState(before));
  Device::failErrno = EIO;
  Device::failRequest = TCSETS2;
  Dcb changed = before;
  changed.BaudRate = 1200;
  changed.XonLim = 77;  // kept by the port, not the device
  EXPECT_FALSE(port->SetState(changed));
  EXPECT_TRUE(Names(Latest(), "ioctl", EIO));
  Device::failErrno = ENXIO;
  Device::failRequest = TCFLSH;
  EXPECT_FALSE(port->Purge(kPurgeRxClear));
  Device::failErrno = EPERM;
  Device::failRequest = TCXONC;
  EXPECT_FALSE(port->EscapeFunction(kSetXon));
  Device::failErrno = EINVAL;
  Device::failRequest = TCGETS2;
  Dcb dcb{};
  EXPECT_FALSE(port->GetState(dcb));
  const auto recent = posix::RecentSyscallFailures();  // the latest few, newest first
  EXPECT_TRUE(Names(recent[0], "ioctl", EINVAL));
  EXPECT_TRUE(Names(recent[1], "ioctl", EPERM));
  EXPECT_TRUE(Names(recent[2], "ioctl", ENXIO));
  EXPECT_TRUE(Names(recent[3], "ioctl", EIO));

  Device::failRequest = 0;
  ASSERT_TRUE(port->GetState(dcb));
  EXPECT_EQ(dcb.BaudRate, before.BaudRate);
  EXPECT_EQ(dcb.XonLim, before.XonLim);
  EXPECT_TRUE(port->Purge(kPurgeRxClear));
  EXPECT_TRUE(port->WriteByte('s'));
  EXPECT_EQ(Received(), "s");
  EXPECT_FALSE(port->Gone());
}

TEST_F(CommPosixSyscallTest, TheOutputQueueDrainsAtTheLineRate) {
  Dcb dcb{};
  ASSERT_TRUE(port->GetState(dcb));
  dcb.BaudRate = 1200;  // 8.3 ms a byte: one character may wait before the next byte
  ASSERT_TRUE(port->SetState(dcb));
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  Device::modelLine = true;
  const std::string text = "twelve bytes";
  const auto start = Clock::now();
  for (char c : text) ASSERT_TRUE(port->WriteByte(static_cast<std::uint8_t>(c)));
  // Each byte waits until at most one character is queued before it: the writes end while
  // the last two are still going out, never sooner than the line allows the rest.
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(10'000'000 / 1200) * 10);
  EXPECT_EQ(Received(), text);

  // At 10 baud a byte takes a second: with 30 ms, 'a' goes out on the idle line, 'b' waits
  // behind it as in a UART's holding register, and 'c' finds both still there at its own
  // time-out and is refused, never queued.
  dcb.BaudRate = 10;
  ASSERT_TRUE(port->SetState(dcb));
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 30}));
  EXPECT_TRUE(port->WriteByte('a'));
  EXPECT_TRUE(port->WriteByte('b'));
  EXPECT_FALSE(port->WriteByte('c'));
  EXPECT_EQ(Received(), "ab");
  EXPECT_EQ(Device::flushes.load(), 0) << "bytes handed on are never taken back";
  ASSERT_TRUE(port->Purge(kPurgeTxClear));

  // Closing lets what is still going out at the line rate leave rather than drop it.
  dcb.BaudRate = 1200;
  ASSERT_TRUE(port->SetState(dcb));
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 1000}));
  EXPECT_TRUE(port->WriteByte('x'));
  EXPECT_TRUE(port->WriteByte('y'));
  port->Close();
  EXPECT_EQ(Device::flushes.load(), 1) << "only the purge dropped output";
  EXPECT_EQ(Received(), "xy");
}

}  // namespace
}  // namespace qs::platform
