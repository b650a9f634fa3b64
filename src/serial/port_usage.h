// How the port is being used: the idle count and the claim.
#pragma once

#include <atomic>
#include <cstdint>

namespace qs {

// Shared by the user-interface thread (the idle tick, the settings dialog), the TCP server
// thread (opens, writes and commands) and the serial reader.
struct PortUsage {
  // Ticks since the last byte written to an open port or the last open.
  std::atomic<std::int32_t> idleSeconds{0};
  // In always-open mode: a client holds the port.
  std::atomic<bool> portClaimed{false};
};

}  // namespace qs
