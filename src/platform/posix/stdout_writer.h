// Whole lines to a descriptor that may never be read (a supervisor's pipe), never waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace qs::platform {

// Writes without blocking and keeps at most kMaxWaitingLines lines for a reader that has
// stalled, dropping the oldest of them. Lines are never torn: one that went out in part is
// finished before any other. A descriptor that fails (its reader gone) gets nothing more.
// Expects SIGPIPE to be ignored. Used on one thread.
class StdoutWriter {
 public:
  static constexpr std::size_t kMaxWaitingLines = 300;

  // fd stays open and, once the writer is gone, has its flags as they were.
  explicit StdoutWriter(int fd);
  ~StdoutWriter();
  StdoutWriter(const StdoutWriter&) = delete;
  StdoutWriter& operator=(const StdoutWriter&) = delete;

  // Queues the line and a newline, then writes what the descriptor takes now.
  void Add(std::string_view line);
  // Writes what the descriptor takes now.
  void WriteReady();
  // The descriptor to poll for POLLOUT while lines wait, else -1 (which poll skips).
  int PollFd() const;
  // Last chance at exit: writes while the descriptor takes lines, for at most limit.
  void Flush(std::chrono::milliseconds limit);

 private:
  void Fail();

  int fd_;
  bool ownFd_ = false;     // fd_ is a description of our own, opened non-blocking
  int restoreFlags_ = -1;  // the flags to put back on the caller's descriptor, or -1
  bool failed_ = false;
  std::deque<std::string> lines_;  // each ends in a newline
  std::size_t headWritten_ = 0;    // bytes of lines_.front() already written
};

}  // namespace qs::platform
