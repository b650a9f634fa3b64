// Network seam: this host's IPv4 addresses and the socket calls of the TCP server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qs::platform {

// This host's IPv4 addresses as dotted-decimal text, in the order the host-name lookup
// gives them, at most max of them. Empty when the lookup fails.
std::vector<std::string> HostIPv4Addresses(std::size_t max);

// A connected socket; kNoSocket marks a free client slot.
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kNoSocket = 0;

struct SendResult {
  long sent;   // bytes sent, or -1 on failure
  long error;  // the socket error number when sent is -1
};

// The socket calls, behind an interface so that the core can be tested without a network.
class SocketApi {
 public:
  virtual ~SocketApi() = default;
  // Sends bytes to a socket: one send call, flags 0, no retry. Never raises a signal.
  virtual SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count) = 0;
};

// The operating system's sockets.
SocketApi& SystemSockets();

}  // namespace qs::platform
