// The POSIX serial backend's system calls: the system's own table, and the record of failures.
#include "platform/posix/comm_posix_syscalls.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <mutex>

#include "platform/posix/comm_posix_testing.h"

namespace qs::platform::posix {
namespace {

int SystemOpen(const char* path, int flags) {
  return ::open(path, flags);
}
int SystemCreate(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
int SystemIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}
int SystemSetTimerSlack(unsigned long nanoseconds) {
  return ::prctl(PR_SET_TIMERSLACK, nanoseconds, 0UL, 0UL, 0UL);
}

constexpr Syscalls kSystem{
    SystemOpen, ::close,    ::read,       ::write, SystemIoctl,        ::ppoll,
    ::flock,    ::eventfd,  SystemCreate, ::link,  ::unlink,           ::kill,
    ::getpid,   ::realpath, ::access,     ::lstat, SystemSetTimerSlack};

struct FailureRecord {
  std::mutex mu;
  RecentFailures recent;
};

// Never destroyed: the lock files' exit handler still makes calls.
FailureRecord& Failures() {
  static FailureRecord* record = new FailureRecord;
  return *record;
}

// A result of -1 is a failure.
template <typename T>
T Noted(const char* call, T result) {
  if (result == T(-1)) NoteFailure(call, errno);
  return result;
}

// The same, but a read or write that would only have blocked has not failed.
ssize_t NotedTransfer(const char* call, ssize_t result) {
  if (result < 0 && errno != EAGAIN) NoteFailure(call, errno);
  return result;
}

}  // namespace

Syscalls& Sys() {
  static Syscalls table = kSystem;
  return table;
}

const Syscalls& RealSyscalls() {
  return kSystem;
}

RecentFailures RecentSyscallFailures() {
  FailureRecord& record = Failures();
  std::lock_guard lock(record.mu);
  return record.recent;
}

void NoteFailure(const char* call, int error) {
  const int saved = errno;
  {
    FailureRecord& record = Failures();
    std::lock_guard lock(record.mu);
    for (std::size_t i = record.recent.size() - 1; i > 0; --i) {
      record.recent[i] = record.recent[i - 1];
    }
    record.recent[0] = LastFailure{call, error};
  }
  errno = saved;
}

namespace sys {

int Open(const char* path, int flags) {
  return Noted("open", Sys().open(path, flags));
}
int Close(int fd) {
  return Noted("close", Sys().close(fd));
}
ssize_t Read(int fd, void* buffer, std::size_t size) {
  return NotedTransfer("read", Sys().read(fd, buffer, size));
}
ssize_t Write(int fd, const void* buffer, std::size_t size) {
  return NotedTransfer("write", Sys().write(fd, buffer, size));
}
int Ioctl(int fd, unsigned long request, void* argument) {
  return Noted("ioctl", Sys().ioctl(fd, request, argument));
}
int IoctlValue(int fd, unsigned long request, int value) {
  return Ioctl(fd, request,
               reinterpret_cast<void*>(static_cast<std::uintptr_t>(static_cast<unsigned>(value))));
}
int Ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  return Noted("ppoll", Sys().ppoll(fds, count, timeout, mask));
}
int Flock(int fd, int operation) {
  return Noted("flock", Sys().flock(fd, operation));
}
int Eventfd(unsigned int initial, int flags) {
  return Noted("eventfd", Sys().eventfd(initial, flags));
}
int Create(const char* path, int flags, mode_t mode) {
  return Noted("create", Sys().create(path, flags, mode));
}
int Link(const char* existing, const char* created) {
  return Noted("link", Sys().link(existing, created));
}
int Unlink(const char* path) {
  return Noted("unlink", Sys().unlink(path));
}
int Kill(pid_t pid, int signal) {
  return Noted("kill", Sys().kill(pid, signal));
}
pid_t Getpid() {
  return Sys().getpid();
}
char* Realpath(const char* path, char* resolved) {
  char* const result = Sys().realpath(path, resolved);
  if (result == nullptr) NoteFailure("realpath", errno);
  return result;
}
int Access(const char* path, int mode) {
  return Noted("access", Sys().access(path, mode));
}
int Lstat(const char* path, struct stat* status) {
  return Noted("lstat", Sys().lstat(path, status));
}
int SetTimerSlack(unsigned long nanoseconds) {
  return Noted("prctl", Sys().setTimerSlack(nanoseconds));
}

}  // namespace sys
}  // namespace qs::platform::posix
