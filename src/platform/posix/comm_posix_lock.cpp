// Lock files of the serial convention: taking, taking over from the dead, removing at exit.
#include "platform/posix/comm_posix_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/common/decimal_text.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_testing.h"

namespace qs::platform::posix {
namespace {

// The lock files this process holds. Never destroyed: the exit handler runs after the
// statics may have gone.
struct Held {
  std::mutex mu;
  std::set<std::string> paths;
  std::optional<std::string> directory;  // set by a test
  bool exitHandlerInstalled = false;
};

Held& HeldLocks() {
  static Held* held = new Held;
  return *held;
}

void RemoveHeldAtExit() {
  Held& held = HeldLocks();
  std::lock_guard lock(held.mu);
  for (const std::string& path : held.paths) sys::Unlink(path.c_str());
  held.paths.clear();
}

enum class Owner { kNone, kDead, kLive, kUs, kUnknown };

// Who holds the lock file at path: its PID is ASCII decimal, blanks around it. A file that
// names no PID was left half-written by someone who died, and is free.
Owner ReadOwner(const std::string& path) {
  const int fd = sys::Open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Owner::kNone : Owner::kUnknown;
  char text[32] = {};
  const ssize_t got = sys::Read(fd, text, sizeof text - 1);
  sys::Close(fd);
  if (got < 0) return Owner::kUnknown;
  const std::int32_t pid = ParseAtoiClamped(std::string_view(text, static_cast<std::size_t>(got)));
  if (pid <= 0) return Owner::kDead;
  if (static_cast<pid_t>(pid) == sys::Getpid()) return Owner::kUs;
  if (sys::Kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) return Owner::kLive;
  return Owner::kDead;
}

// Writes a lock file naming this process under a temporary name and links it to path, so
// that nobody ever reads a half-written lock. 0 when linked, else the errno (EEXIST: someone
// was first).
int LinkNewLock(const std::string& directory, const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const pid_t me = sys::Getpid();
  const std::string temp =
      directory + "/LTMP." + std::to_string(me) + "." + std::to_string(counter.fetch_add(1));
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = sys::Create(temp.c_str(), kFlags, 0644);
  if (fd < 0 && errno == EEXIST) {  // left behind by an earlier process with our PID
    sys::Unlink(temp.c_str());
    fd = sys::Create(temp.c_str(), kFlags, 0644);
  }
  if (fd < 0) return errno;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(me));
  const bool written = sys::Write(fd, text, static_cast<std::size_t>(length)) == length;
  const int writeError = errno;
  sys::Close(fd);
  int result = written ? 0 : (writeError != 0 ? writeError : EIO);
  if (written && sys::Link(temp.c_str(), path.c_str()) != 0) result = errno;
  sys::Unlink(temp.c_str());
  return result;
}

std::string DefaultLockDirectory() {
  for (const char* directory : {"/run/lock", "/var/lock"}) {
    if (sys::Access(directory, F_OK) == 0) return directory;
  }
  return "";
}

}  // namespace

std::string LockDirectory() {
  {
    Held& held = HeldLocks();
    std::lock_guard lock(held.mu);
    if (held.directory) return *held.directory;
  }
  return DefaultLockDirectory();
}

void SetLockDirectory(const std::string& directory) {
  Held& held = HeldLocks();
  std::lock_guard lock(held.mu);
  held.directory = directory;
}

std::optional<DeviceLock> DeviceLock::Acquire(const std::string& devicePath) {
  const std::string directory = LockDirectory();
  if (directory.empty()) return DeviceLock();
  char* resolved = sys::Realpath(devicePath.c_str(), nullptr);
  if (resolved == nullptr) return DeviceLock();  // no such device: the open says so
  std::string device = resolved;
  std::free(resolved);
  const std::string path = directory + "/LCK.." + device.substr(device.rfind('/') + 1);

  // One taker at a time in this process, so that two threads never both adopt one lock.
  Held& held = HeldLocks();
  std::lock_guard lock(held.mu);
  const auto take = [&] {
    if (!held.exitHandlerInstalled) held.exitHandlerInstalled = std::atexit(RemoveHeldAtExit) == 0;
    held.paths.insert(path);
    return DeviceLock(path);
  };
  // A few rounds: a lock found dead may be taken over by another process first.
  for (int round = 0; round < 3; ++round) {
    switch (ReadOwner(path)) {
      case Owner::kLive:
      case Owner::kUnknown:
        return std::nullopt;
      case Owner::kUs:
        // Left by an earlier process with our PID, unless one of our ports holds it.
        if (held.paths.count(path) != 0) return std::nullopt;
        return take();
      case Owner::kDead:
        if (sys::Unlink(path.c_str()) != 0 && errno != ENOENT) return DeviceLock();
        break;
      case Owner::kNone:
        break;
    }
    const int error = LinkNewLock(directory, path);
    if (error == 0) return take();
    if (error != EEXIST) return DeviceLock();  // a folder we may not write to
  }
  return std::nullopt;
}

DeviceLock& DeviceLock::operator=(DeviceLock&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

void DeviceLock::Release() {
  if (path_.empty()) return;
  Held& held = HeldLocks();
  std::lock_guard lock(held.mu);
  if (held.paths.erase(path_) != 0) sys::Unlink(path_.c_str());
  path_.clear();
}

}  // namespace qs::platform::posix
