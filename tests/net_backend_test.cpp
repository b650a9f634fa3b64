// The socket backend on the real network stack: connections, listening ports and waits.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "support/net_backend_fixture.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using Client = testing::LoopbackClient;
using testing::NetBackendTest;

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
  const SendResult sent = api_.Send(server, down.data(), down.size(), 1s, nullptr, false);
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
