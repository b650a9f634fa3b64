// The socket backend on the real network stack, against a client made with the OS calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "support/wait.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoNative = INVALID_SOCKET;
void CloseNative(NativeSocket socket) {
  closesocket(socket);
}
#else
using NativeSocket = int;
constexpr NativeSocket kNoNative = -1;
void CloseNative(NativeSocket socket) {
  close(socket);
}
#endif

// A TCP client of 127.0.0.1:port; a receive gives up after 5 s, so no test hangs on it.
class Client {
 public:
  explicit Client(std::uint16_t port) : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
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
  ~Client() {
    Close();
  }
  bool connected() const {
    return socket_ != kNoNative;
  }
  bool Send(const Bytes& bytes) {
    return send(socket_, reinterpret_cast<const char*>(bytes.data()),
                static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
  }
  // Up to count bytes; fewer when the server closes or nothing comes for 5 s.
  Bytes Read(std::size_t count) {
    Bytes bytes(count);
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
  SocketHandle ListenOnFreePort() {
    std::random_device random;
    const auto base = std::uniform_int_distribution<int>(20000, 59000)(random);
    for (int offset = 0; offset < 1000; ++offset) {
      port_ = static_cast<std::uint16_t>(base + offset);
      const SocketHandle listener = api_.Listen(port_, 5);
      if (listener != kNoSocket) return listener;
    }
    return kNoSocket;
  }
  // Waits (at most 5 s) for the listener to turn readable, then accepts.
  SocketHandle AcceptClient(SocketHandle listener) {
    std::vector<bool> readable;
    if (api_.WaitReadable({listener}, readable, 5s) != 1 || !readable[0]) return kNoSocket;
    return api_.Accept(listener);
  }
  // A listener, a client of it and the server's end of that connection.
  void Connect(SocketHandle& listener, std::unique_ptr<Client>& client, SocketHandle& server) {
    listener = ListenOnFreePort();
    ASSERT_NE(listener, kNoSocket);
    client = std::make_unique<Client>(port_);
    ASSERT_TRUE(client->connected());
    server = AcceptClient(listener);
    ASSERT_NE(server, kNoSocket);
  }
  Bytes ReceiveExactly(SocketHandle socket, std::size_t count) {
    Bytes bytes;
    std::vector<bool> readable;
    const auto deadline = Clock::now() + 5s;
    while (bytes.size() < count && Clock::now() < deadline) {
      if (api_.WaitReadable({socket}, readable, 100ms) != 1) continue;
      std::uint8_t buffer[512];
      const long got = api_.Receive(socket, buffer, sizeof buffer);
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  SocketApi& api_ = SystemSockets();
  std::uint16_t port_ = 0;
};

TEST_F(NetBackendTest, CarriesEveryByteValueBothWaysAndSeesThePeerClose) {
  const SocketHandle listener = ListenOnFreePort();
  ASSERT_NE(listener, kNoSocket);
  std::vector<bool> readable;
  EXPECT_EQ(api_.WaitReadable({listener}, readable, 0ms), 0);

  Client client(port_);
  ASSERT_TRUE(client.connected());
  const SocketHandle server = AcceptClient(listener);
  ASSERT_NE(server, kNoSocket);
  api_.SetNoDelay(server);

  Bytes up(256);
  std::iota(up.begin(), up.end(), std::uint8_t{0});
  ASSERT_TRUE(client.Send(up));
  EXPECT_EQ(ReceiveExactly(server, up.size()), up);

  const Bytes down(up.rbegin(), up.rend());
  const SendResult sent = api_.Send(server, down.data(), down.size(), 1s, nullptr);
  EXPECT_EQ(sent.sent, static_cast<long>(down.size()));
  EXPECT_EQ(client.Read(down.size()), down);

  // The close shows as a readable socket whose receive gives 0; the listener stays quiet.
  client.Close();
  ASSERT_EQ(api_.WaitReadable({listener, server}, readable, 5s), 1);
  EXPECT_EQ(readable, (std::vector<bool>{false, true}));
  std::uint8_t byte = 0;
  EXPECT_EQ(api_.Receive(server, &byte, 1), 0);
  api_.Close(server);
  api_.Close(listener);
}

TEST_F(NetBackendTest, PortIsOursWhileListeningAndFreeAtOnceAfterClose) {
  const SocketHandle listener = ListenOnFreePort();
  ASSERT_NE(listener, kNoSocket);
  EXPECT_EQ(api_.Listen(port_, 5), kNoSocket);

  // A connection the server closes first stays in TIME_WAIT on the listening port.
  {
    Client client(port_);
    ASSERT_TRUE(client.connected());
    const SocketHandle server = AcceptClient(listener);
    ASSERT_NE(server, kNoSocket);
    api_.Close(server);
    EXPECT_TRUE(client.Read(1).empty());
  }
  api_.Close(listener);

  const SocketHandle again = api_.Listen(port_, 5);
  ASSERT_NE(again, kNoSocket);
  Client client(port_);
  EXPECT_TRUE(client.connected());
  api_.Close(again);
}

TEST_F(NetBackendTest, WaitEndsAtItsLimitOrOnAWakeFromAnotherThread) {
  const SocketHandle listener = ListenOnFreePort();
  ASSERT_NE(listener, kNoSocket);
  const auto waker = api_.CreateWaker();
  ASSERT_NE(waker, nullptr);
  const std::vector<SocketHandle> watched{listener, waker->handle()};
  std::vector<bool> readable;

  auto start = Clock::now();
  EXPECT_EQ(api_.WaitReadable(watched, readable, 300ms), 0);
  auto took = Clock::now() - start;
  EXPECT_GE(took, 240ms);
  EXPECT_LE(took, 900ms);

  start = Clock::now();
  std::thread waking([&waker] {
    std::this_thread::sleep_for(100ms);  // lets the wait below begin first
    waker->Wake();
  });
  const int ready = api_.WaitReadable(watched, readable, 10s);
  took = Clock::now() - start;
  waking.join();
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(readable, (std::vector<bool>{false, true}));
  EXPECT_LT(took, 1s);

  // Drain takes back every wake so far, not just one.
  waker->Wake();
  waker->Wake();
  waker->Drain();
  EXPECT_EQ(api_.WaitReadable(watched, readable, 50ms), 0);
  waker->Wake();
  EXPECT_EQ(api_.WaitReadable(watched, readable, 5s), 1);
  api_.Close(listener);
}

TEST_F(NetBackendTest, SendToAClosedPeerFailsWithAnErrorNumberAndNoSignal) {
  SocketHandle listener = kNoSocket;
  SocketHandle server = kNoSocket;
  std::unique_ptr<Client> connected;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, connected, server));
  Client& client = *connected;
  client.Close();

  const Bytes chunk(1024, 0x55);
  SendResult result{0, 0};
  EXPECT_TRUE(testing::WaitUntil(
      [&] {
        return (result = api_.Send(server, chunk.data(), chunk.size(), 1s, nullptr)).sent == -1;
      },
      5s));
  // Winsock's numbers on every build, so that the log reads the same: reset, shut down or
  // aborted, as the system saw it.
  EXPECT_THAT(result.error, ::testing::AnyOf(10053, 10054, 10058));
  api_.Close(server);
  api_.Close(listener);
}

// A peer that stops reading costs the sender its time limit at most, and a wake cuts even
// that short; what went is reported, and the stream stays whole for when the peer reads.
TEST_F(NetBackendTest, SendToAPeerThatStopsReadingEndsAtItsLimitOrOnCancel) {
  SocketHandle listener = kNoSocket;
  SocketHandle server = kNoSocket;
  std::unique_ptr<Client> connected;
  ASSERT_NO_FATAL_FAILURE(Connect(listener, connected, server));
  Client& client = *connected;

  // Far more than the socket buffers of both ends hold.
  Bytes big(64u << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  auto start = Clock::now();
  const SendResult first = api_.Send(server, big.data(), big.size(), 300ms, nullptr);
  auto took = Clock::now() - start;
  EXPECT_GT(first.sent, 0);
  EXPECT_LT(first.sent, static_cast<long>(big.size()));
  EXPECT_GE(took, 250ms);
  EXPECT_LE(took, 2s);

  // With the buffers full, a zero limit sends nothing and does not wait.
  const SendResult none = api_.Send(server, big.data() + first.sent, 1, 0ms, nullptr);
  EXPECT_EQ(none.sent, 0);

  const auto cancel = api_.CreateWaker();
  ASSERT_NE(cancel, nullptr);
  std::thread cancelling([&cancel] {
    std::this_thread::sleep_for(100ms);  // lets the send below begin waiting first
    cancel->Wake();
  });
  start = Clock::now();
  const SendResult cut = api_.Send(server, big.data() + first.sent, 1024, 10s, cancel.get());
  took = Clock::now() - start;
  cancelling.join();
  EXPECT_EQ(cut.sent, 0);
  EXPECT_LT(took, 2s);

  // Everything reported as sent arrives, in order.
  const Bytes got = client.Read(static_cast<std::size_t>(first.sent));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
  EXPECT_EQ(got.size(), static_cast<std::size_t>(first.sent));
  api_.Close(server);
  api_.Close(listener);
}

#ifndef _WIN32
// Descriptor 0 would pass for a free client slot: with stdin closed, none is handed out.
TEST_F(NetBackendTest, NeverHandsOutDescriptorZero) {
  const SocketHandle probe = ListenOnFreePort();
  ASSERT_NE(probe, kNoSocket);
  api_.Close(probe);
  const int stdinCopy = dup(0);
  close(0);
  const SocketHandle listener = api_.Listen(port_, 5);
  Client client(port_);
  const SocketHandle server = AcceptClient(listener);
  const auto waker = api_.CreateWaker();
  dup2(stdinCopy, 0);
  close(stdinCopy);

  EXPECT_NE(listener, kNoSocket);
  EXPECT_NE(server, kNoSocket);
  ASSERT_NE(waker, nullptr);
  EXPECT_NE(waker->handle(), kNoSocket);
  api_.Close(server);
  api_.Close(listener);
}
#endif

}  // namespace
}  // namespace qs::platform
