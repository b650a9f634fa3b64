// This host's IPv4 addresses on POSIX, through the resolver.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/net.h"

namespace qs::platform {

std::vector<std::string> HostIPv4Addresses(std::size_t max) {
  std::vector<std::string> addresses;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return addresses;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* entry = found; entry && addresses.size() < max; entry = entry->ai_next) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeaddrinfo(found);
  return addresses;
}

namespace {

class PosixSockets final : public SocketApi {
 public:
  SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count) override {
    // MSG_NOSIGNAL: a client that went away is an error number, not SIGPIPE.
    const ssize_t sent = send(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL);
    if (sent < 0) return {-1, errno};
    return {static_cast<long>(sent), 0};
  }
  bool Startup() override { return true; }
  void Cleanup() override {}
  SocketHandle Listen(std::uint16_t, int) override { return kNoSocket; }
  SocketHandle Accept(SocketHandle) override { return kNoSocket; }
  void SetNoDelay(SocketHandle) override {}
  long Receive(SocketHandle, std::uint8_t*, std::size_t) override { return -1; }
  void Close(SocketHandle) override {}
  int WaitReadable(const std::vector<SocketHandle>&, std::vector<bool>&,
                   std::chrono::milliseconds) override {
    return -1;
  }
  std::unique_ptr<SocketWaker> CreateWaker() override { return nullptr; }

};

}  // namespace

SocketApi& SystemSockets() {
  static PosixSockets sockets;
  return sockets;
}

}  // namespace qs::platform
