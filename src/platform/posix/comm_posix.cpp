// Serial ports on POSIX: port names, exclusive open, and the mode-string parser.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/comm.h"
#include "platform/mode_string.h"
#include "platform/posix/device_lock.h"
#include "platform/posix/posix_comm_port.h"
#include "platform/posix/posix_syscalls.h"

namespace qs::platform {
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
  unsigned long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return name;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  const std::string link = "dosdevices/com" + std::string(digits);
  std::error_code error;
  if (std::filesystem::is_symlink(link, error)) return link;
  return "/dev/ttyS" + std::to_string(number - 1);
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
    const int fd = posix::Sys().open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // flock keeps out a second open by anyone who also locks, root included (and this
    // process); TIOCEXCL keeps out everyone else but root; the lock file keeps out root's
    // programs that only look for lock files.
    if (posix::Sys().flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        posix::Sys().ioctl(fd, TIOCEXCL, nullptr) != 0) {
      posix::Sys().close(fd);
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
