// The Win32 error codes with which a read tells that its device has gone.
#include "platform/common/read_failure.h"

namespace qs::platform {
namespace {

constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorBadCommand = 22;
// What Wine gives when the device behind its port has hung up (EIO).
constexpr std::uint32_t kErrorBrokenPipe = 109;
constexpr std::uint32_t kErrorOperationAborted = 995;
constexpr std::uint32_t kErrorDeviceRemoved = 1617;

}  // namespace

bool ReadFailureMeansGone(std::uint32_t error, bool cancelled) {
  switch (error) {
    case kErrorAccessDenied:
    case kErrorInvalidHandle:
    case kErrorBadCommand:
    case kErrorBrokenPipe:
    case kErrorDeviceRemoved:
      return true;
    case kErrorOperationAborted:
      return !cancelled;
    default:
      return false;
  }
}

}  // namespace qs::platform
