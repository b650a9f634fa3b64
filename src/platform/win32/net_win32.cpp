// This host's IPv4 addresses on Windows, through Winsock's host-name lookup.
#include <winsock2.h>

#include "platform/net.h"

namespace qs::platform {

std::vector<std::string> HostIPv4Addresses(std::size_t max) {
  std::vector<std::string> addresses;
  WSADATA wsa{};
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return addresses;

  char name[256] = {};
  if (gethostname(name, sizeof name) == 0) {
    const hostent* host = gethostbyname(name);
    if (host && host->h_addrtype == AF_INET) {
      for (int i = 0; host->h_addr_list[i] && addresses.size() < max; ++i) {
        in_addr address{};
        memcpy(&address, host->h_addr_list[i], sizeof address);
        addresses.emplace_back(inet_ntoa(address));
      }
    }
  }
  WSACleanup();
  return addresses;
}

namespace {

class Win32Sockets final : public SocketApi {
 public:
  SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count) override {
    const int sent = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes),
                          static_cast<int>(count), 0);
    if (sent == SOCKET_ERROR) return {-1, WSAGetLastError()};
    return {sent, 0};
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
  static Win32Sockets sockets;
  return sockets;
}

}  // namespace qs::platform
