// Serial ports on Win32: overlapped I/O on an exclusively opened COM device.
#include <windows.h>

#include "platform/comm.h"

namespace qs::platform {
namespace {

class Win32Comm final : public CommApi {
 public:
  bool BuildCommDcbAndTimeouts(const std::string&, Dcb&, CommTimeouts&) override { return false; }
  std::unique_ptr<CommPort> Open(const std::string&) override { return nullptr; }
};

}  // namespace

CommApi& SystemComm() {
  static Win32Comm comm;
  return comm;
}

}  // namespace qs::platform
