// Process entry on POSIX.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/entry.h"
#include "platform/posix/stop_signals.h"

namespace {

// A closed standard stream would give its number to the next file opened (the log file,
// say), and what is meant for the stream would land in that file: /dev/null stands in.
void HoldStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

}  // namespace

int main() {
  HoldStandardStreams();
  // Before anything else, so that a stop request is never lost or fatal.
  qs::platform::InstallStopSignals();
  return qs::RunProgram();
}
