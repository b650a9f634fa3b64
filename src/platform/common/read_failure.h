// Which failed serial reads mean that the device itself has gone (unplugged, driver removed).
#pragma once

#include <cstdint>

namespace qs::platform {

// error: the Win32 error code of a failed read; cancelled: a CancelIo or Close of ours came
// during the read. An aborted read that nobody cancelled was ended by the driver going away.
bool ReadFailureMeansGone(std::uint32_t error, bool cancelled);

}  // namespace qs::platform
