// An open serial device on POSIX: opening, settings, cancel and close.
#include "platform/posix/posix_comm_port.h"

#include <asm/termbits.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <limits>
#include <utility>

#include "platform/posix/dcb_termios.h"
#include "platform/posix/posix_syscalls.h"

namespace qs::platform::posix {
namespace {

constexpr std::uint32_t kMaxDword = std::numeric_limits<std::uint32_t>::max();

constexpr int kSetBreak = 8;
constexpr int kClrBreak = 9;

bool SetModemLine(int fd, int line, bool on) {
  return Sys().ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

}  // namespace

// At close, drops what the device still holds back: close() would wait up to 30 s for a line
// that flow control keeps stopped. Every write has waited for its byte to leave, so what is
// queued now has been held past its time-out. A device that cannot count its queue (a pty)
// keeps what it has, so its far end still reads every byte reported written.
void PosixCommPort::DiscardHeldOutput(int fd) {
  int queued = 0;
  if (Sys().ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) IoctlValue(fd, TCFLSH, TCOFLUSH);
}

std::unique_ptr<PosixCommPort> PosixCommPort::Adopt(int fd, DeviceLock lock) {
  // Keep the line settings the device has, but never let the line discipline edit bytes.
  termios2 tio{};
  if (Sys().ioctl(fd, TCGETS2, &tio) != 0) {
    Sys().close(fd);
    return nullptr;
  }
  MakeRaw(tio);
  if (Sys().ioctl(fd, TCSETS2, &tio) != 0) {
    Sys().close(fd);
    return nullptr;
  }
  const int wakeFd = Sys().eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    Sys().close(fd);
    return nullptr;
  }
  return std::unique_ptr<PosixCommPort>(new PosixCommPort(fd, wakeFd, std::move(lock)));
}

PosixCommPort::PosixCommPort(int fd, int wakeFd, DeviceLock lock)
    : fd_(fd), wakeFd_(wakeFd), lock_(std::move(lock)), kept_(DefaultKeptDcb()) {}

PosixCommPort::~PosixCommPort() {
  Close();
}

void PosixCommPort::EndOperation(std::uint64_t generation) {
  std::lock_guard lock(mu_);
  --inFlight_;
  // The last operation a cancel was meant for clears the wake-up, so later operations can
  // wait again.
  if (generation != cancelGeneration_ && --staleOps_ == 0 && !closed_) DrainWake();
  idle_.notify_all();
}

bool PosixCommPort::Aborted(const Operation& op) {
  std::lock_guard lock(mu_);
  return closed_ || op.generation() != cancelGeneration_;
}

// An operation that began after a CancelIo can see the wake-up meant for older ones; they
// leave at once, and the last of them clears it.
void PosixCommPort::WaitOutStaleWakeUp(const Operation& op) {
  std::unique_lock lock(mu_);
  idle_.wait(lock,
             [&] { return staleOps_ == 0 || closed_ || op.generation() != cancelGeneration_; });
}

CommTimeouts PosixCommPort::Timeouts() {
  std::lock_guard lock(configMu_);
  return timeouts_;
}

void PosixCommPort::SignalWake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = Sys().write(wakeFd_, &one, sizeof one);
}

void PosixCommPort::DrainWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto got = Sys().read(wakeFd_, &count, sizeof count);
}

bool PosixCommPort::SetState(const Dcb& dcb) {
  if (!IsAcceptableDcb(dcb)) return false;
  Operation op(*this);
  if (!op) return false;
  std::lock_guard lock(configMu_);
  termios2 tio{};
  if (Sys().ioctl(op.fd(), TCGETS2, &tio) != 0) return false;
  ApplyDcb(dcb, tio);
  if (Sys().ioctl(op.fd(), TCSETS2, &tio) != 0) return false;
  kept_ = dcb;
  // Lines in handshake or toggle mode belong to the driver. A pty has no modem lines
  // (ENOTTY), which is no reason to refuse the settings.
  const std::uint32_t dtr = (dcb.flags >> kDcbDtrControlShift) & 3u;
  const std::uint32_t rts = (dcb.flags >> kDcbRtsControlShift) & 3u;
  if (dtr <= 1) SetModemLine(op.fd(), TIOCM_DTR, dtr == 1);
  if (rts <= 1) SetModemLine(op.fd(), TIOCM_RTS, rts == 1);
  return true;
}

bool PosixCommPort::GetState(Dcb& dcb) {
  Operation op(*this);
  if (!op) return false;
  std::lock_guard lock(configMu_);
  termios2 tio{};
  if (Sys().ioctl(op.fd(), TCGETS2, &tio) != 0) return false;
  dcb = DcbFromTermios(tio, kept_);
  return true;
}

bool PosixCommPort::SetTimeouts(const CommTimeouts& timeouts) {
  if (timeouts.ReadIntervalTimeout == kMaxDword &&
      timeouts.ReadTotalTimeoutMultiplier == kMaxDword &&
      timeouts.ReadTotalTimeoutConstant == kMaxDword) {
    return false;
  }
  Operation op(*this);
  if (!op) return false;
  std::lock_guard lock(configMu_);
  timeouts_ = timeouts;
  return true;
}

bool PosixCommPort::SetupQueues(std::uint32_t, std::uint32_t) {
  // The sizes are only advice; the kernel's buffers stay as they are.
  Operation op(*this);
  return static_cast<bool>(op);
}

bool PosixCommPort::CancelIo() {
  std::lock_guard lock(mu_);
  ++cancelGeneration_;
  staleOps_ = inFlight_;
  if (inFlight_ > 0 && !closed_) SignalWake();
  idle_.notify_all();
  return true;
}

void PosixCommPort::Close() {
  std::unique_lock lock(mu_);
  if (!closed_) {
    closed_ = true;
    SignalWake();
    idle_.notify_all();
  }
  // close() does not wake a thread polling the descriptor, and the number must not be
  // reused under a running call: every operation has to be out first.
  idle_.wait(lock, [&] { return inFlight_ == 0; });
  if (fd_ < 0) return;
  DiscardHeldOutput(fd_);
  Sys().close(fd_);
  Sys().close(wakeFd_);
  fd_ = -1;
  wakeFd_ = -1;
  lock_.Release();
}

bool PosixCommPort::EscapeFunction(int function) {
  Operation op(*this);
  if (!op) return false;
  std::uint32_t dtr = 0;
  std::uint32_t rts = 0;
  {
    std::lock_guard lock(configMu_);
    dtr = (kept_.flags >> kDcbDtrControlShift) & 3u;
    rts = (kept_.flags >> kDcbRtsControlShift) & 3u;
  }
  switch (function) {
    case kSetRts:
    case kClrRts:
      if (rts >= 2) return false;  // the driver owns RTS in handshake and toggle modes
      return SetModemLine(op.fd(), TIOCM_RTS, function == kSetRts);
    case kSetDtr:
    case kClrDtr:
      if (dtr == 2) return false;
      return SetModemLine(op.fd(), TIOCM_DTR, function == kSetDtr);
    case kSetXoff:
      return IoctlValue(op.fd(), TCXONC, TCOOFF) == 0;
    case kSetXon:
      return IoctlValue(op.fd(), TCXONC, TCOON) == 0;
    case kSetBreak:
      return Sys().ioctl(op.fd(), TIOCSBRK, nullptr) == 0;
    case kClrBreak:
      return Sys().ioctl(op.fd(), TIOCCBRK, nullptr) == 0;
    default:
      return false;
  }
}

bool PosixCommPort::GetModemStatus(std::uint32_t& status) {
  Operation op(*this);
  if (!op) return false;
  int lines = 0;
  if (Sys().ioctl(op.fd(), TIOCMGET, &lines) != 0) return false;
  status = 0;
  if ((lines & TIOCM_CTS) != 0) status |= kMsCtsOn;
  if ((lines & TIOCM_DSR) != 0) status |= kMsDsrOn;
  if ((lines & TIOCM_RNG) != 0) status |= kMsRingOn;
  if ((lines & TIOCM_CAR) != 0) status |= kMsRlsdOn;
  return true;
}

bool PosixCommPort::Purge(std::uint32_t flags) {
  Operation op(*this);
  if (!op) return false;
  bool ok = true;
  if ((flags & kPurgeRxClear) != 0) ok = IoctlValue(op.fd(), TCFLSH, TCIFLUSH) == 0 && ok;
  if ((flags & kPurgeTxClear) != 0) ok = IoctlValue(op.fd(), TCFLSH, TCOFLUSH) == 0 && ok;
  return ok;
}

}  // namespace qs::platform::posix
