// Network seam: this host's IPv4 addresses and the socket calls of the TCP server.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
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
  long error;  // the socket error number when sent is -1, as Winsock numbers it (any system)
};

// Wakes a thread that waits in SocketApi::WaitReadable, from any thread, without waiting.
class SocketWaker {
 public:
  virtual ~SocketWaker() = default;
  // The handle to put among the sockets that WaitReadable watches; it turns readable on Wake.
  virtual SocketHandle handle() const = 0;
  virtual void Wake() = 0;
  // Takes back every wake-up so far, so the handle is quiet again.
  virtual void Drain() = 0;
};

// The socket calls, behind an interface so that the core can be tested without a network.
class SocketApi {
 public:
  virtual ~SocketApi() = default;

  // Sends bytes to a socket, never raising a signal: as much as the peer's buffers take
  // within timeout, waiting for room while they are full, and not a moment longer once
  // cancel (may be null) has been woken. sent is what went, possibly short of count (0 with
  // a zero timeout and no room); -1 with the error number when the send failed before
  // anything went. moreFollows says the caller's next send to this socket comes at once:
  // the system may hold these bytes back to go out with it, and the next send without it
  // lets everything go.
  virtual SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count,
                          std::chrono::milliseconds timeout, const SocketWaker* cancel,
                          bool moreFollows) = 0;

  // The socket library for the calling user (Winsock 2.2; nothing to do on POSIX). Each
  // successful Startup is paired with one Cleanup.
  virtual bool Startup() = 0;
  virtual void Cleanup() = 0;

  // A listening IPv4 TCP socket on every local address, with the backlog given. kNoSocket
  // when any step fails, for instance when the port is in use. Receive is only called on
  // sockets that WaitReadable found readable, and Send bounds its own waits, so callers
  // need not care whether the sockets block.
  virtual SocketHandle Listen(std::uint16_t port, int backlog) = 0;
  // The next pending connection; kNoSocket on failure.
  virtual SocketHandle Accept(SocketHandle listener) = 0;
  // Nagle's algorithm off: small replies leave at once. Failures are ignored.
  virtual void SetNoDelay(SocketHandle socket) = 0;
  // At most count bytes: the number received, 0 when the peer closed, -1 on an error.
  virtual long Receive(SocketHandle socket, std::uint8_t* buffer, std::size_t count) = 0;
  // Shuts the connection down both ways and closes the socket.
  virtual void Close(SocketHandle socket) = 0;

  // Waits until at least one of sockets is readable, at most timeout. Sets readable[i] for
  // each socket ready; returns how many are, 0 on time-out, -1 when the wait failed.
  // kNoSocket entries are skipped. A hang-up or socket error counts as readable, so that
  // the following Receive reports it; a signal during the wait counts as a time-out.
  virtual int WaitReadable(const std::vector<SocketHandle>& sockets, std::vector<bool>& readable,
                           std::chrono::milliseconds timeout) = 0;

  // A waker whose handle WaitReadable can watch; nullptr when none can be made.
  virtual std::unique_ptr<SocketWaker> CreateWaker() = 0;
};

// The operating system's sockets.
SocketApi& SystemSockets();

}  // namespace qs::platform
