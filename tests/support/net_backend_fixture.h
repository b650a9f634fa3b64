// A loopback client made with the OS calls, and a fixture around the socket backend.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "platform/net.h"

namespace qs::testing {

#ifdef _WIN32
using NativeSocket = SOCKET;
inline constexpr NativeSocket kNoNative = INVALID_SOCKET;
inline void CloseNative(NativeSocket socket) {
  closesocket(socket);
}
#else
using NativeSocket = int;
inline constexpr NativeSocket kNoNative = -1;
inline void CloseNative(NativeSocket socket) {
  close(socket);
}
#endif

// A TCP client of 127.0.0.1:port; a receive gives up after 5 s, so no test hangs on it.
class LoopbackClient {
 public:
  explicit LoopbackClient(std::uint16_t port) : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (socket_ == kNoNative ||
        connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      Close();
      return;
    }
#ifdef _WIN32
    const DWORD limit = 5000;
#else
    const timeval limit{5, 0};
#endif
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
               sizeof limit);
  }
  ~LoopbackClient() {
    Close();
  }
  bool connected() const {
    return socket_ != kNoNative;
  }
  bool Send(const std::vector<std::uint8_t>& bytes) {
    return send(socket_, reinterpret_cast<const char*>(bytes.data()),
                static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
  }
  // Up to count bytes; fewer when the server closes or nothing comes for 5 s.
  std::vector<std::uint8_t> Read(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t got = 0;
    while (got < count) {
      const auto n = recv(socket_, reinterpret_cast<char*>(bytes.data() + got),
                          static_cast<int>(count - got), 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
  void Close() {
    if (socket_ != kNoNative) CloseNative(socket_);
    socket_ = kNoNative;
  }

 private:
  NativeSocket socket_;
};

class NetBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(api_.Startup()); }
  void TearDown() override { api_.Cleanup(); }

  // Listens on the first free port from a random one on, so parallel runs do not collide.
  platform::SocketHandle ListenOnFreePort() {
    std::random_device random;
    const auto base = std::uniform_int_distribution<int>(20000, 59000)(random);
    for (int offset = 0; offset < 1000; ++offset) {
      port_ = static_cast<std::uint16_t>(base + offset);
      const platform::SocketHandle listener = api_.Listen(port_, 5);
      if (listener != platform::kNoSocket) return listener;
    }
    return platform::kNoSocket;
  }
  // Waits (at most 5 s) for the listener to turn readable, then accepts.
  platform::SocketHandle AcceptClient(platform::SocketHandle listener) {
    std::vector<bool> readable;
    if (api_.WaitReadable({listener}, readable, std::chrono::seconds(5)) != 1 || !readable[0])
      return platform::kNoSocket;
    return api_.Accept(listener);
  }
  // A listener, a client of it and the server's end of that connection.
  void Connect(platform::SocketHandle& listener, std::unique_ptr<LoopbackClient>& client,
               platform::SocketHandle& server) {
    listener = ListenOnFreePort();
    ASSERT_NE(listener, platform::kNoSocket);
    client = std::make_unique<LoopbackClient>(port_);
    ASSERT_TRUE(client->connected());
    server = AcceptClient(listener);
    ASSERT_NE(server, platform::kNoSocket);
  }
  std::vector<std::uint8_t> ReceiveExactly(platform::SocketHandle socket, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    std::vector<bool> readable;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (api_.WaitReadable({socket}, readable, std::chrono::milliseconds(100)) != 1) continue;
      std::uint8_t buffer[512];
      const long got = api_.Receive(socket, buffer, sizeof buffer);
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  platform::SocketApi& api_ = platform::SystemSockets();
  std::uint16_t port_ = 0;
};

}  // namespace qs::testing
