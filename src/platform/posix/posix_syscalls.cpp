// The system's own calls behind the POSIX serial backend's table.
#include "platform/posix/posix_syscalls.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

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

constexpr Syscalls kSystem{SystemOpen, ::close, ::read,    ::write,      SystemIoctl,
                           ::ppoll,    ::flock, ::eventfd, SystemCreate, ::link,
                           ::unlink,   ::kill,  ::getpid,  ::realpath,   ::access};

}  // namespace

Syscalls& Sys() {
  static Syscalls table = kSystem;
  return table;
}

const Syscalls& RealSyscalls() {
  return kSystem;
}

}  // namespace qs::platform::posix
