// Signal handlers that only set a flag and write one byte: all that is safe in a handler.
#include "platform/posix/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace qs::platform {
namespace {

int wakePipe[2] = {-1, -1};
std::once_flag pipeOnce;
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void MakeWakePipe() {
  std::call_once(pipeOnce, [] {
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe[0] = wakePipe[1] = -1;
  });
}

void NoteStop() {
  stopRequested.store(true);
  if (wakePipe[1] >= 0) {
    const char reason = 'S';
    [[maybe_unused]] const ssize_t ignored = write(wakePipe[1], &reason, 1);
  }
}

void OnStopSignal(int) {
  const int saved = errno;
  NoteStop();
  errno = saved;
}

}  // namespace

void InstallStopSignals() {
  MakeWakePipe();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void RequestStop() {
  MakeWakePipe();
  NoteStop();
}

bool TakeStopRequest() {
  return stopRequested.exchange(false);
}

int WakeReadFd() {
  MakeWakePipe();
  return wakePipe[0];
}

void WriteWake(char reason) {
  MakeWakePipe();
  // A full pipe already holds a wake-up; losing this byte loses nothing.
  if (wakePipe[1] >= 0) [[maybe_unused]]
    const ssize_t ignored = write(wakePipe[1], &reason, 1);
}

}  // namespace qs::platform
