// How long the port has been idle: the count the idle tick keeps and every write resets.
#pragma once

#include <atomic>
#include <cstdint>

namespace qs {

// Shared by the user-interface thread (the idle tick), the TCP server thread (opens and
// writes) and the serial reader.
struct PortUsage {
  // Ticks since the last byte written to an open port or the last open.
  std::atomic<std::int32_t> idleSeconds{0};
};

}  // namespace qs
