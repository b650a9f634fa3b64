// Every system call of the POSIX serial backend, through one table that tests may change.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

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
  // Lock files beside the devices.
  int (*create)(const char* path, int flags, mode_t mode);
  int (*link)(const char* existing, const char* created);
  int (*unlink)(const char* path);
  int (*kill)(pid_t pid, int signal);
  pid_t (*getpid)();
  char* (*realpath)(const char* path, char* resolved);
  int (*access)(const char* path, int mode);
};

// The table in use; starts with the system's own calls.
Syscalls& Sys();
// The system's own calls, for a test's function that changes only some cases.
const Syscalls& RealSyscalls();

// ioctl requests whose argument is a number rather than a pointer (TCFLSH, TCXONC).
inline int IoctlValue(int fd, unsigned long request, int value) {
  return Sys().ioctl(
      fd, request,
      reinterpret_cast<void*>(static_cast<std::uintptr_t>(static_cast<unsigned>(value))));
}

}  // namespace qs::platform::posix
