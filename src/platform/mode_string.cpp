// The mode-string grammar of Win32's BuildCommDCB.
#include "platform/mode_string.h"

namespace qs::platform {

bool ParseModeString(const std::string&, Dcb&, CommTimeouts&) { return false; }

}  // namespace qs::platform
