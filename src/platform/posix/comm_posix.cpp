// Serial ports on POSIX: port names, exclusive open, settings, modem lines, cancel and close.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/comm.h"
#include "platform/common/decimal_text.h"
#include "platform/common/mode_string.h"
#include "platform/posix/comm_posix_lock.h"
#include "platform/posix/comm_posix_port.h"
#include "platform/posix/comm_posix_syscalls.h"
#include "platform/posix/comm_posix_termios.h"

namespace qs::platform {
namespace posix {
namespace {

bool SetModemLine(int fd, int line, bool on) {
  return sys::Ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

// How late past its characters' line time Close still finds the queue draining.
constexpr std::chrono::nanoseconds kCloseDrainMargin = std::chrono::milliseconds(5);

}  // namespace

// At close, lets what the driver still queues leave for as long as its characters need on
// the line (and a margin for this thread's wake-up), and at least until the write time-out
// of the latest byte handed on has run out; then drops what the device still holds back:
// close() would wait up to 30 s for a line that flow control keeps stopped. A write hands its
// byte on while at most WriteAheadCharacters() (1 to 16: 2 at 115,200 baud, 10 at 921,600)
// wait before it, so what is dropped is at most that many bytes and one more for each thread
// writing at once (the client's bytes and the reader's acknowledgements): 4 at 115,200, 12
// at 921,600, never more than 18. A device that cannot count its queue (a pty) keeps what it
// has, so its far end still reads every byte reported written.
void PosixCommPort::DiscardHeldOutput(int fd) {
  const Clock::time_point latestDeadline{Clock::duration(latestWriteDeadline_.load())};
  Deadline until;
  while (true) {
    int queued = 0;
    if (sys::Ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    const std::chrono::nanoseconds charTime = CharTime();
    const auto now = Clock::now();
    if (!until) until = std::max(now + charTime * queued + kCloseDrainMargin, latestDeadline);
    if (now >= *until) break;
    const auto pause = std::min<std::chrono::nanoseconds>(charTime * queued, *until - now);
    // Nothing to watch: the gate is shut, and its wake-up stays readable.
    pollfd none{-1, 0, 0};
    const timespec timeout{static_cast<time_t>(pause.count() / 1'000'000'000),
                           static_cast<long>(pause.count() % 1'000'000'000)};
    sys::Ppoll(&none, 1, &timeout, nullptr);
  }
  sys::IoctlValue(fd, TCFLSH, TCOFLUSH);
}

std::unique_ptr<PosixCommPort> PosixCommPort::Adopt(int fd, DeviceLock lock) {
  // Keep the line settings the device has, but never let the line discipline edit bytes.
  termios2 tio{};
  if (sys::Ioctl(fd, TCGETS2, &tio) != 0) {
    sys::Close(fd);
    return nullptr;
  }
  MakeRaw(tio);
  if (sys::Ioctl(fd, TCSETS2, &tio) != 0) {
    sys::Close(fd);
    return nullptr;
  }
  const int wakeFd = sys::Eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    sys::Close(fd);
    return nullptr;
  }
  std::unique_ptr<PosixCommPort> port(new PosixCommPort(fd, wakeFd, std::move(lock)));
  port->charTimeNs_.store(CharacterTime(tio).count());
  return port;
}

PosixCommPort::PosixCommPort(int fd, int wakeFd, DeviceLock lock)
    : fd_(fd), wakeFd_(wakeFd), lock_(std::move(lock)), kept_(DefaultKeptDcb()) {}

PosixCommPort::~PosixCommPort() {
  Close();
}

bool PosixCommPort::Aborted(const Operation& op) const {
  return gate_.Stopped(op.pass());
}

// An operation that began after a CancelIo can see the wake-up meant for older ones; they
// leave at once, and the last of them clears it.
void PosixCommPort::WaitOutStaleWakeUp(const Operation& op) {
  gate_.WaitOutStaleWakeUp(op.pass());
}

CommTimeouts PosixCommPort::Timeouts() {
  std::lock_guard lock(configMu_);
  return timeouts_;
}

void PosixCommPort::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = sys::Write(wakeFd_, &one, sizeof one);
}

void PosixCommPort::Settle() {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto got = sys::Read(wakeFd_, &count, sizeof count);
}

bool PosixCommPort::SetState(const Dcb& dcb) {
  if (!IsAcceptableDcb(dcb)) return false;
  Operation op(*this);
  if (!op) return false;
  std::lock_guard lock(configMu_);
  termios2 tio{};
  if (sys::Ioctl(op.fd(), TCGETS2, &tio) != 0) return false;
  ApplyDcb(dcb, tio);
  if (sys::Ioctl(op.fd(), TCSETS2, &tio) != 0) return false;
  charTimeNs_.store(CharacterTime(tio).count());
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
  if (sys::Ioctl(op.fd(), TCGETS2, &tio) != 0) return false;
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
  gate_.Cancel();
  return true;
}

void PosixCommPort::Close() {
  gate_.Shut();
  // close() does not wake a thread polling the descriptor, and the number must not be
  // reused under a running call: every operation has to be out first.
  gate_.WaitUntilIdle();
  std::lock_guard lock(closeMu_);
  if (fd_ < 0) return;
  DiscardHeldOutput(fd_);
  sys::Close(fd_);
  sys::Close(wakeFd_);
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
      return sys::IoctlValue(op.fd(), TCXONC, TCOOFF) == 0;
    case kSetXon:
      return sys::IoctlValue(op.fd(), TCXONC, TCOON) == 0;
    case kSetBreak:
      return sys::Ioctl(op.fd(), TIOCSBRK, nullptr) == 0;
    case kClrBreak:
      return sys::Ioctl(op.fd(), TIOCCBRK, nullptr) == 0;
    default:
      return false;
  }
}

bool PosixCommPort::GetModemStatus(std::uint32_t& status) {
  Operation op(*this);
  if (!op) return false;
  int lines = 0;
  if (sys::Ioctl(op.fd(), TIOCMGET, &lines) != 0) return false;
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
  if ((flags & kPurgeRxClear) != 0) {
    ok = sys::IoctlValue(op.fd(), TCFLSH, TCIFLUSH) == 0 && ok;
    purges_.fetch_add(1, std::memory_order_acq_rel);  // and what was read ahead goes too
  }
  if ((flags & kPurgeTxClear) != 0) ok = sys::IoctlValue(op.fd(), TCFLSH, TCOFLUSH) == 0 && ok;
  return ok;
}

}  // namespace posix

namespace {

// "COMn" or "\\.\COMn" (n >= 1) names dosdevices/comn in the working directory when that
// link exists, as under Wine, and otherwise the n-th on-board port. Other names are paths.
std::string DevicePath(const std::string& name) {
  std::string_view rest = name;
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (rest.substr(0, kDevicePrefix.size()) == kDevicePrefix)
    rest.remove_prefix(kDevicePrefix.size());
  if (rest.size() < 4 || rest.substr(0, 3) != "COM" || rest[3] == '0') return name;
  const std::string_view digits = rest.substr(3);
  if (digits.size() > 9) return name;
  const std::optional<std::uint32_t> number = ParseDigitsSaturating(digits);
  if (!number) return name;
  const std::string link = "dosdevices/com" + std::string(digits);
  struct stat status {};
  if (posix::sys::Lstat(link.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return link;
  return "/dev/ttyS" + std::to_string(*number - 1);
}

class PosixComm final : public CommApi {
 public:
  bool BuildCommDcbAndTimeouts(const std::string& mode, Dcb& dcb, CommTimeouts& timeouts) override {
    return ParseModeString(mode, dcb, timeouts);
  }

  // A name with a slash is a path; a COM name never holds one.
  bool IsDevicePath(const std::string& name) const override {
    return name.find('/') != std::string::npos;
  }

  std::unique_ptr<CommPort> Open(const std::string& devicePath) override {
    const std::string path = DevicePath(devicePath);
    // The lock file first: opening a device can already raise its modem lines.
    std::optional<posix::DeviceLock> lock = posix::DeviceLock::Acquire(path);
    if (!lock) return nullptr;
    const int fd = posix::sys::Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // flock keeps out a second open by anyone who also locks, root included (and this
    // process); TIOCEXCL keeps out everyone else but root; the lock file keeps out root's
    // programs that only look for lock files.
    if (posix::sys::Flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        posix::sys::Ioctl(fd, TIOCEXCL, nullptr) != 0) {
      posix::sys::Close(fd);
      return nullptr;
    }
    return posix::PosixCommPort::Adopt(fd, std::move(*lock));
  }
};

}  // namespace

CommApi& SystemComm() {
  static PosixComm comm;
  return comm;
}

}  // namespace qs::platform
