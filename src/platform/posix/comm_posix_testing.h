// What only tests reach the POSIX serial backend through: the system's own calls behind the
// table, and the folder of the lock files.
#pragma once

#include <string>

#include "platform/posix/comm_posix_syscalls.h"

namespace qs::platform::posix {

// The system's own calls, for a test's function that changes only some cases.
const Syscalls& RealSyscalls();

// The folder of the lock files: /run/lock or /var/lock, whichever exists ("" when neither
// does), unless SetLockDirectory chose one. "" means ports are opened without lock files.
std::string LockDirectory();
void SetLockDirectory(const std::string& directory);

}  // namespace qs::platform::posix
