// Serial ports on POSIX: termios, exclusive open, reads with the Windows time-out rules.
#include "platform/comm.h"
#include "platform/mode_string.h"

namespace qs::platform {
namespace {

class PosixComm final : public CommApi {
 public:
  bool BuildCommDcbAndTimeouts(const std::string& mode, Dcb& dcb,
                               CommTimeouts& timeouts) override {
    return ParseModeString(mode, dcb, timeouts);
  }
  std::unique_ptr<CommPort> Open(const std::string&) override { return nullptr; }
};

}  // namespace

CommApi& SystemComm() {
  static PosixComm comm;
  return comm;
}

}  // namespace qs::platform
