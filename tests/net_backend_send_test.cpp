// The socket backend on the real network stack: sends to a peer that closed or stopped reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "support/net_backend_fixture.h"
#include "support/wait.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using Client = testing::LoopbackClient;
using testing::NetBackendTest;

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
        return (result = api_.Send(server, chunk.data(), chunk.size(), 1s, nullptr, false)).sent ==
               -1;
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
  const SendResult first = api_.Send(server, big.data(), big.size(), 300ms, nullptr, false);
  auto took = Clock::now() - start;
  EXPECT_GT(first.sent, 0);
  EXPECT_LT(first.sent, static_cast<long>(big.size()));
  EXPECT_GE(took, 250ms);
  EXPECT_LE(took, 2s);

  // With the buffers full, a zero limit sends nothing and does not wait.
  const SendResult none = api_.Send(server, big.data() + first.sent, 1, 0ms, nullptr, false);
  EXPECT_EQ(none.sent, 0);

  const auto cancel = api_.CreateWaker();
  ASSERT_NE(cancel, nullptr);
  std::thread cancelling([&cancel] {
    std::this_thread::sleep_for(100ms);  // lets the send below begin waiting first
    cancel->Wake();
  });
  start = Clock::now();
  const SendResult cut = api_.Send(server, big.data() + first.sent, 1024, 10s, cancel.get(), false);
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

}  // namespace
}  // namespace qs::platform
