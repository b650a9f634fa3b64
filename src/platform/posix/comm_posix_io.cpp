// Reading and writing with the Windows time-out rules, woken early by CancelIo and Close.
#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/posix/comm_posix_port.h"
#include "platform/posix/comm_posix_syscalls.h"

namespace qs::platform::posix {
namespace {

// Longer time-outs than this (about 31 years) are as good as none, and keep the clock
// arithmetic from overflowing.
constexpr std::uint64_t kLongestWaitMs = 1'000'000'000'000;

// multiplier * count + constant, in milliseconds, without overflow.
std::uint64_t TotalMs(std::uint32_t multiplier, std::uint64_t count, std::uint32_t constant) {
  if (multiplier != 0 && count > kLongestWaitMs / multiplier) return kLongestWaitMs;
  return std::min<std::uint64_t>(multiplier * count + constant, kLongestWaitMs);
}

// A short timed wait may end this much late; the kernel's default (50 us) is half a character
// at 115,200 baud, which a writer that waits out every character would lose each time.
constexpr unsigned long kWriterTimerSlackNs = 1000;

// When the rate is unknown, the queue is looked at this often.
constexpr std::chrono::nanoseconds kUnknownCharTime = std::chrono::milliseconds(1);

// A byte is handed on while the driver still holds up to this much line time before it (at
// least one character, at most kMostWriteAhead): the time the writer has to come back with
// the next byte before the line would idle. On the modelled UART without a FIFO, 2 characters
// at 115,200 baud and 10 at 921,600 keep the line busy; one character at 115,200 (0.83-0.93
// of the line rate) and 5 at 921,600 (0.74-0.99) did not always.
constexpr std::chrono::nanoseconds kWriteAhead = std::chrono::microseconds(100);
constexpr std::int64_t kMostWriteAhead = 16;

// Characters the output queue may hold when the next byte is handed on.
int WriteAheadCharacters(std::chrono::nanoseconds charTime) {
  const auto ahead = (kWriteAhead + charTime - std::chrono::nanoseconds(1)) / charTime;
  return static_cast<int>(std::clamp<std::int64_t>(ahead, 1, kMostWriteAhead));
}

timespec Timespec(std::chrono::nanoseconds span) {
  return timespec{static_cast<time_t>(span.count() / 1'000'000'000),
                  static_cast<long>(span.count() % 1'000'000'000)};
}

std::chrono::steady_clock::time_point After(std::chrono::steady_clock::time_point base,
                                            std::uint64_t ms) {
  return base + std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

// A cancel or close meant for op keeps the wake-up descriptor readable until op has left,
// so the wait itself notices one that came before it began; nothing has to look first.
PosixCommPort::Wait PosixCommPort::WaitFor(const Operation& op, short events, Deadline deadline) {
  while (true) {
    timespec timeout{};
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) return Aborted(op) ? Wait::kAborted : Wait::kTimedOut;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    }
    pollfd fds[2] = {{op.fd(), events, 0}, {op.wakeFd(), POLLIN, 0}};
    const int ready = sys::Ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Wait::kFailed;
    }
    if (ready == 0) continue;  // the deadline check above decides
    if ((fds[1].revents & POLLIN) != 0) {
      if (Aborted(op)) return Wait::kAborted;
      WaitOutStaleWakeUp(op);
      continue;
    }
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      NoteFailure("ppoll", 0);
      return Wait::kFailed;
    }
    if ((fds[0].revents & events) != 0) return Wait::kReady;
    if ((fds[0].revents & POLLHUP) != 0) {  // the device went away
      NoteFailure("ppoll", 0);
      return Wait::kFailed;
    }
  }
}

long PosixCommPort::Read(std::uint8_t* buffer, std::size_t size) {
  Operation op(*this);
  if (!op) return -1;
  if (size == 0) return 0;
  const CommTimeouts t = Timeouts();
  const auto start = Clock::now();

  // The serial driver's rules, case by case.
  const bool intervalMax = t.ReadIntervalTimeout == kMaxDword;
  const bool noTotal = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const bool onlyBuffered = intervalMax && noTotal;
  const bool firstByteEnds = intervalMax && t.ReadTotalTimeoutMultiplier == kMaxDword;
  const bool bufferedEnds = intervalMax;  // data already there ends the read at once
  Deadline total;
  if (firstByteEnds) {
    total = After(start, t.ReadTotalTimeoutConstant);
  } else if (!noTotal) {
    total = After(start, TotalMs(t.ReadTotalTimeoutMultiplier, size, t.ReadTotalTimeoutConstant));
  }
  std::optional<std::chrono::milliseconds> interval;
  if (!intervalMax && t.ReadIntervalTimeout != 0) {
    interval = std::chrono::milliseconds(t.ReadIntervalTimeout);
  }

  std::size_t got = 0;
  bool waited = false;
  Clock::time_point lastByte{};
  // Bytes already read are handed back even when the read then fails or is cancelled: they
  // have left the device's queue and exist nowhere else.
  const auto endedEarly = [&] { return got > 0 ? static_cast<long>(got) : -1L; };
  // Reads that end with what is there take it at once.
  const auto endsWithWhatIsThere = [&] {
    return onlyBuffered || firstByteEnds || (bufferedEnds && !waited);
  };
  // After a read that emptied the driver's queue, the next one most likely finds nothing:
  // wait for input first rather than read in vain. One that filled its buffer reads at once,
  // and so do the reads that must tell bytes already there from bytes that came later.
  const bool waitFirst = !bufferedEnds || firstByteEnds;
  if (waitFirst && inputDrained_.load(std::memory_order_relaxed) && !HoldsAhead() &&
      !gone_.load()) {
    switch (WaitFor(op, POLLIN, total)) {
      case Wait::kReady:
      case Wait::kTimedOut:  // the read below takes what came at the last moment
        break;
      case Wait::kFailed:
        gone_.store(true);
        return -1;
      case Wait::kAborted:
        return -1;
    }
  }
  while (true) {
    const ssize_t n = ReadDevice(op.fd(), buffer + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      lastByte = Clock::now();
      const bool full = got == size;
      inputDrained_.store(!full, std::memory_order_relaxed);
      if (full) return static_cast<long>(got);
      // A short read took everything the driver had: asking again only gets EAGAIN.
      if (endsWithWhatIsThere()) return static_cast<long>(got);
      continue;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      if (n == 0) NoteFailure("read", 0);
      inputDrained_.store(false, std::memory_order_relaxed);
      gone_.store(true);  // hang-up, or EIO: the device is gone
      return endedEarly();
    }
    if (errno == EINTR) continue;

    // Nothing more is buffered.
    inputDrained_.store(true, std::memory_order_relaxed);
    if (onlyBuffered) return static_cast<long>(got);
    if (got > 0 && endsWithWhatIsThere()) return static_cast<long>(got);
    Deadline deadline = total;
    if (interval && got > 0) {
      const auto gapEnd = lastByte + *interval;
      deadline = deadline ? std::min(*deadline, gapEnd) : gapEnd;
    }
    waited = true;
    switch (WaitFor(op, POLLIN, deadline)) {
      case Wait::kReady:
        break;
      case Wait::kTimedOut:
        return static_cast<long>(got);
      case Wait::kFailed:
        gone_.store(true);
        return endedEarly();
      case Wait::kAborted:
        return endedEarly();
    }
  }
}

ssize_t PosixCommPort::ReadDevice(int fd, std::uint8_t* buffer, std::size_t size) {
  const std::size_t took = TakeAhead(buffer, size);
  if (took == size) return static_cast<ssize_t>(took);
  std::array<std::uint8_t, kReadAhead> fresh;
  // Bytes kept from a read that a purge overlaps are dropped by it.
  const std::uint64_t purges = purges_.load(std::memory_order_acquire);
  const ssize_t n = sys::Read(fd, fresh.data(), fresh.size());
  // What was taken goes back now; a failure is there again for the next read.
  if (n <= 0) return took > 0 ? static_cast<ssize_t>(took) : n;
  const std::size_t now = std::min(size - took, static_cast<std::size_t>(n));
  std::memcpy(buffer + took, fresh.data(), now);
  KeepAhead(fresh.data() + now, static_cast<std::size_t>(n) - now, purges);
  return static_cast<ssize_t>(took + now);
}

std::size_t PosixCommPort::TakeAhead(std::uint8_t* buffer, std::size_t size) {
  std::lock_guard<std::mutex> lock(aheadMu_);
  if (aheadPurges_ != purges_.load(std::memory_order_acquire)) DropAhead();
  if (ahead_.empty()) return 0;
  const std::size_t n = std::min(size, ahead_.size() - aheadFirst_);
  std::memcpy(buffer, ahead_.data() + aheadFirst_, n);
  aheadFirst_ += n;
  if (aheadFirst_ == ahead_.size()) DropAhead();
  return n;
}

void PosixCommPort::KeepAhead(const std::uint8_t* bytes, std::size_t count, std::uint64_t purges) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(aheadMu_);
  if (purges != purges_.load(std::memory_order_acquire)) return;  // read before a purge
  if (aheadPurges_ != purges) DropAhead();
  // Another reader's bytes may still wait (reads on two threads at once): these follow them.
  ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(aheadFirst_));
  aheadFirst_ = 0;
  ahead_.insert(ahead_.end(), bytes, bytes + count);
  aheadPurges_ = purges;
}

void PosixCommPort::DropAhead() {
  ahead_.clear();
  aheadFirst_ = 0;
}

bool PosixCommPort::HoldsAhead() {
  std::lock_guard<std::mutex> lock(aheadMu_);
  return !ahead_.empty() && aheadPurges_ == purges_.load(std::memory_order_acquire);
}

bool PosixCommPort::WaitForInput(std::chrono::milliseconds limit) {
  Operation op(*this);
  if (!op) return false;
  if (HoldsAhead()) return true;
  return WaitFor(op, POLLIN, Clock::now() + limit) == Wait::kReady;
}

bool PosixCommPort::WriteByte(std::uint8_t byte) {
  Operation op(*this);
  if (!op) return false;
  const CommTimeouts t = Timeouts();
  Deadline deadline;
  const std::uint64_t boundMs =
      TotalMs(t.WriteTotalTimeoutMultiplier, 1, t.WriteTotalTimeoutConstant);
  if (boundMs != 0) deadline = After(Clock::now(), boundMs);
  // Set once for each thread that writes: only its own timed waits get sharper.
  static thread_local bool sharpened = false;
  if (!sharpened) {
    sys::SetTimerSlack(kWriterTimerSlackNs);
    sharpened = true;
  }

  // A byte goes to the driver only once the queue has room for it, so one that misses its
  // time-out was never queued and nothing has to be taken back: a flush would also drop
  // bytes that earlier calls reported written.
  if (!WaitForRoom(op, deadline)) return false;
  while (true) {
    const ssize_t n = sys::Write(op.fd(), &byte, 1);
    if (n == 1) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && WaitFor(op, POLLOUT, deadline) == Wait::kReady) continue;
    return false;
  }
  // Queued now, and not taken back (only a purge, or closing while the device still holds
  // it past its time-out, drops it); it goes out while the caller brings the next one.
  if (deadline) NoteQueuedUntil(*deadline);
  return true;
}

void PosixCommPort::NoteQueuedUntil(Clock::time_point deadline) {
  const Clock::rep until = deadline.time_since_epoch().count();
  Clock::rep latest = latestWriteDeadline_.load();
  while (latest < until && !latestWriteDeadline_.compare_exchange_weak(latest, until)) {
  }
}

// Waits until the driver's output queue holds at most WriteAheadCharacters(): the next byte
// then waits behind a short queue, as in a UART's holding register, and the line carries on
// from one byte to the next while this thread comes back. tcdrain would be exact but can be
// neither bounded nor cancelled, so look at the queue again when enough of it should have
// gone at the port's rate. A device that cannot count its queue (a pty always reads 0)
// counts as empty.
bool PosixCommPort::WaitForRoom(const Operation& op, Deadline deadline) {
  while (true) {
    int queued = 0;
    if (sys::Ioctl(op.fd(), TIOCOUTQ, &queued) != 0) return true;
    const std::chrono::nanoseconds charTime = CharTime();
    const int room = WriteAheadCharacters(charTime);
    if (queued <= room) return true;
    auto pause = charTime * (queued - room);
    if (deadline) {
      const auto left = *deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      pause = std::min(pause, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    }
    pollfd wake{op.wakeFd(), POLLIN, 0};
    const timespec timeout = Timespec(pause);
    if (sys::Ppoll(&wake, 1, &timeout, nullptr) > 0) {
      if (Aborted(op)) return false;
      WaitOutStaleWakeUp(op);
    }
  }
}

std::chrono::nanoseconds PosixCommPort::CharTime() const {
  const std::chrono::nanoseconds charTime(charTimeNs_.load());
  return charTime > std::chrono::nanoseconds::zero() ? charTime : kUnknownCharTime;
}

}  // namespace qs::platform::posix
