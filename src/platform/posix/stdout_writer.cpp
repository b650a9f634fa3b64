// Non-blocking line output with a bounded backlog, for stdout when nobody may be reading it.
#include "platform/posix/stdout_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>

namespace qs::platform {

StdoutWriter::StdoutWriter(int fd) : fd_(fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    failed_ = true;
    return;
  }
  // A file on disk takes what it is given; no reader can hold it up.
  if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)) return;
  // A pipe or a terminal opened afresh gives a description of our own: O_NONBLOCK on the
  // shared one would also hit whoever shares it (stderr after 2>&1, the parent shell).
  if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
      fd_ = own;
      ownFd_ = true;
      return;
    }
  }
  // A socket cannot be opened afresh: switch the shared description, and back at the end.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    failed_ = true;  // better no output than a program stuck in a write
    return;
  }
  restoreFlags_ = flags;
}

StdoutWriter::~StdoutWriter() {
  if (ownFd_) close(fd_);
  if (restoreFlags_ >= 0) fcntl(fd_, F_SETFL, restoreFlags_);
}

void StdoutWriter::Add(std::string_view line) {
  if (failed_) return;
  std::string out(line);
  out += '\n';
  lines_.push_back(std::move(out));
  if (lines_.size() > kMaxWaitingLines) {
    // The oldest line that has not begun to go out; a begun one is finished first.
    lines_.erase(lines_.begin() + (headWritten_ > 0 ? 1 : 0));
  }
  WriteReady();
}

void StdoutWriter::WriteReady() {
  while (!failed_ && !lines_.empty()) {
    const std::string& head = lines_.front();
    const ssize_t n = write(fd_, head.data() + headWritten_, head.size() - headWritten_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) Fail();
      return;
    }
    headWritten_ += static_cast<std::size_t>(n);
    if (headWritten_ == head.size()) {
      lines_.pop_front();
      headWritten_ = 0;
    }
  }
}

int StdoutWriter::PollFd() const {
  return failed_ || lines_.empty() ? -1 : fd_;
}

void StdoutWriter::Flush(std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + limit;
  WriteReady();
  while (PollFd() >= 0) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd wait{fd_, POLLOUT, 0};
    if (poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX))) > 0) {
      WriteReady();
    }
  }
}

void StdoutWriter::Fail() {
  failed_ = true;
  lines_.clear();
  headWritten_ = 0;
}

}  // namespace qs::platform
