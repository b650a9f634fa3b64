// The POSIX serial backend's lock files: a live owner keeps the port, a dead one's lock is free.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "platform/comm.h"
#include "platform/posix/comm_posix_testing.h"
#include "support/comm_port_pair_posix.h"
#include "support/temp_dir.h"

namespace qs::platform {
namespace {

using namespace qs::testing;

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

}  // namespace
}  // namespace qs::platform
