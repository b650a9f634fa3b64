// The mode-string grammar of Win32's BuildCommDCB, in plain code (the POSIX backend's parser).
#pragma once

#include <string>

#include "platform/comm.h"

namespace qs::platform {

// Accepts and refuses what BuildCommDCBAndTimeouts does; on success fills the fields the
// string names (and the stop bits it implies), leaving the others as they were.
bool ParseModeString(const std::string& mode, Dcb& dcb, CommTimeouts& timeouts);

}  // namespace qs::platform
