// The network seam on Windows: this host's IPv4 addresses and the TCP server's Winsock calls.
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <climits>

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

// select watches only sockets, so the wake-up is a UDP socket on the loopback address that
// sends a byte to itself. Non-blocking, so that neither Wake nor Drain ever waits.
class LoopbackWaker final : public SocketWaker {
 public:
  LoopbackWaker(SOCKET socket, const sockaddr_in& address) : socket_(socket), address_(address) {}
  ~LoopbackWaker() override { closesocket(socket_); }
  LoopbackWaker(const LoopbackWaker&) = delete;
  LoopbackWaker& operator=(const LoopbackWaker&) = delete;

  SocketHandle handle() const override { return static_cast<SocketHandle>(socket_); }
  void Wake() override {
    const char byte = 1;
    // A full buffer (WSAEWOULDBLOCK) means the socket is readable already.
    sendto(socket_, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address_), sizeof address_);
  }
  void Drain() override {
    char bytes[64];
    for (;;) {
      if (recvfrom(socket_, bytes, sizeof bytes, 0, nullptr, nullptr) != SOCKET_ERROR) continue;
      // A datagram is taken even when it reports one of these; WSAEWOULDBLOCK ends it.
      const int error = WSAGetLastError();
      if (error != WSAEMSGSIZE && error != WSAECONNRESET) return;
    }
  }

 private:
  const SOCKET socket_;
  const sockaddr_in address_;
};

class Win32Sockets final : public SocketApi {
 public:
  SendResult Send(SocketHandle socket, const std::uint8_t* bytes, std::size_t count,
                  std::chrono::milliseconds timeout, const SocketWaker* cancel,
                  bool /*moreFollows: Winsock has no such hint*/) override {
    const SOCKET s = static_cast<SOCKET>(socket);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t sent = 0;
    while (true) {
      // Accepted sockets are non-blocking (see Accept): a full buffer is waited for below,
      // where the deadline and the cancel can end it.
      const int most = static_cast<int>(std::min<std::size_t>(count - sent, INT_MAX));
      const int n = send(s, reinterpret_cast<const char*>(bytes + sent), most, 0);
      if (n != SOCKET_ERROR) {
        sent += static_cast<std::size_t>(n);
        if (sent == count) break;
        continue;
      }
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) {
        if (sent == 0) return {-1, error};
        break;
      }
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      fd_set writable;
      fd_set cancelled;
      FD_ZERO(&writable);
      FD_ZERO(&cancelled);
      FD_SET(s, &writable);
      if (cancel) FD_SET(static_cast<SOCKET>(cancel->handle()), &cancelled);
      timeval wait{};
      wait.tv_sec = static_cast<long>(left.count() / 1000);
      wait.tv_usec = static_cast<long>(left.count() % 1000 * 1000);
      if (select(0, &cancelled, &writable, nullptr, &wait) > 0 && cancel &&
          FD_ISSET(static_cast<SOCKET>(cancel->handle()), &cancelled)) {
        break;
      }
    }
    return {static_cast<long>(sent), 0};
  }

  bool Startup() override {
    WSADATA wsa{};
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }
  void Cleanup() override { WSACleanup(); }

  SocketHandle Listen(std::uint16_t port, int backlog) override {
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == INVALID_SOCKET) return kNoSocket;
    // No SO_REUSEADDR: on Windows it would let another program take the port from us.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    u_long blocking = 0;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, backlog) != 0 || ioctlsocket(listener, FIONBIO, &blocking) != 0) {
      closesocket(listener);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(listener);
  }

  SocketHandle Accept(SocketHandle listener) override {
    const SOCKET accepted = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) return kNoSocket;
    // Non-blocking, so that a send to a client that stopped reading can be bounded. recv
    // is only called once select has found the socket readable, so it never finds nothing.
    u_long nonBlocking = 1;
    if (ioctlsocket(accepted, FIONBIO, &nonBlocking) != 0) {
      closesocket(accepted);
      return kNoSocket;
    }
    return static_cast<SocketHandle>(accepted);
  }

  void SetNoDelay(SocketHandle socket) override {
    const int on = 1;
    setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&on), sizeof on);
  }

  long Receive(SocketHandle socket, std::uint8_t* buffer, std::size_t count) override {
    const int most = static_cast<int>(std::min<std::size_t>(count, INT_MAX));
    return recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer), most, 0);
  }

  void Close(SocketHandle socket) override {
    shutdown(static_cast<SOCKET>(socket), SD_BOTH);
    closesocket(static_cast<SOCKET>(socket));
  }

  int WaitReadable(const std::vector<SocketHandle>& sockets, std::vector<bool>& readable,
                   std::chrono::milliseconds timeout) override {
    readable.assign(sockets.size(), false);
    if (sockets.size() > FD_SETSIZE) return -1;
    fd_set watched;
    FD_ZERO(&watched);
    for (const SocketHandle socket : sockets) {
      if (socket != kNoSocket) FD_SET(static_cast<SOCKET>(socket), &watched);
    }
    const auto limit = std::max<std::chrono::milliseconds::rep>(timeout.count(), 0);
    timeval wait{};
    wait.tv_sec =
        static_cast<long>(std::min<std::chrono::milliseconds::rep>(limit / 1000, LONG_MAX));
    wait.tv_usec = static_cast<long>(limit % 1000 * 1000);
    const int ready = select(0, &watched, nullptr, nullptr, &wait);
    if (ready == SOCKET_ERROR) return -1;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (sockets[i] != kNoSocket && FD_ISSET(static_cast<SOCKET>(sockets[i]), &watched)) {
        readable[i] = true;
      }
    }
    return ready;
  }

  std::unique_ptr<SocketWaker> CreateWaker() override {
    const SOCKET waker = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (waker == INVALID_SOCKET) return nullptr;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;  // any free port; getsockname tells which
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (bind(waker, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(waker, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ioctlsocket(waker, FIONBIO, &nonBlocking) != 0) {
      closesocket(waker);
      return nullptr;
    }
    return std::make_unique<LoopbackWaker>(waker, address);
  }
};

}  // namespace

SocketApi& SystemSockets() {
  static Win32Sockets sockets;
  return sockets;
}

}  // namespace qs::platform
