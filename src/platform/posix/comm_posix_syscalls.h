// Every system call of the POSIX serial backend, through one table that tests may change.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace qs::platform::posix {

// The backend never calls the system directly: a test puts its own function into an entry to
// show what a pty cannot (EINTR, EIO, an output queue that never drains) and puts the saved
// table back afterwards. Entries are changed only while no port is in use.
struct Syscalls {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* buffer, std::size_t size);
  // ioctl with a pointer argument; requests that take a number get it cast to a pointer.
  int (*ioctl)(int fd, unsigned long request, void* argument);
  int (*ppoll)(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
  int (*flock)(int fd, int operation);
  int (*eventfd)(unsigned int initial, int flags);
  // Lock files beside the devices, and the links that name COM ports.
  int (*create)(const char* path, int flags, mode_t mode);
  int (*link)(const char* existing, const char* created);
  int (*unlink)(const char* path);
  int (*kill)(pid_t pid, int signal);
  pid_t (*getpid)();
  char* (*realpath)(const char* path, char* resolved);
  int (*access)(const char* path, int mode);
  int (*lstat)(const char* path, struct stat* status);
  // prctl(PR_SET_TIMERSLACK): how late the calling thread's timed waits may end.
  int (*setTimerSlack)(unsigned long nanoseconds);
};

// The table in use; starts with the system's own calls.
Syscalls& Sys();

// A failed call, for a debugger and the tests; never logged. error is its errno, or 0 when
// the call worked but told that the device has hung up (end of file, POLLHUP, POLLERR).
struct LastFailure {
  const char* call = nullptr;
  int error = 0;
};
// The backend's latest failures, newest first (on any thread and port).
using RecentFailures = std::array<LastFailure, 4>;
RecentFailures RecentSyscallFailures();
// Notes a failure; keeps errno as it was.
void NoteFailure(const char* call, int error);

// The calls the backend makes: each goes through the table and notes its failure. A read or
// write that would block (EAGAIN) has not failed.
namespace sys {
int Open(const char* path, int flags);
int Close(int fd);
ssize_t Read(int fd, void* buffer, std::size_t size);
ssize_t Write(int fd, const void* buffer, std::size_t size);
int Ioctl(int fd, unsigned long request, void* argument);
// ioctl requests whose argument is a number rather than a pointer (TCFLSH, TCXONC).
int IoctlValue(int fd, unsigned long request, int value);
int Ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
int Flock(int fd, int operation);
int Eventfd(unsigned int initial, int flags);
int Create(const char* path, int flags, mode_t mode);
int Link(const char* existing, const char* created);
int Unlink(const char* path);
int Kill(pid_t pid, int signal);
pid_t Getpid();
char* Realpath(const char* path, char* resolved);
int Access(const char* path, int mode);
int Lstat(const char* path, struct stat* status);
int SetTimerSlack(unsigned long nanoseconds);
}  // namespace sys

}  // namespace qs::platform::posix
