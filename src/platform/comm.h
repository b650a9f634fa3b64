// Serial-device seam: opening, configuring, reading and writing a COM port.
#pragma once

#include <cstdint>

namespace qs::platform {

// Size of the Win32 device-control block, which both builds use as the port's settings image.
inline constexpr std::uint32_t kDcbSize = 28;

}  // namespace qs::platform
