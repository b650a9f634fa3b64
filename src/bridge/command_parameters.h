// The parameters that clients' commands set for the next open; kept for the life of the process.
#pragma once

#include <cstdint>

namespace qs {

// Shared by all clients; nothing resets them. Only the TCP server thread uses them. (TYP=
// goes to the serial link, whose reader needs it too.)
struct CommandParameters {
  std::int32_t requestedBaud = 0;
  std::int32_t requestedDataBits = 0;
  char requestedParity = '\0';
  std::int32_t requestedStopBits = 0;
  std::int32_t timeout1 = 0;  // read interval time-out, ms
  std::int32_t timeout2 = 0;  // constant part of the total read time-out, ms
  std::int32_t timeout3 = 0;  // per-byte part of the total read time-out, ms
};

}  // namespace qs
