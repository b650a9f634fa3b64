// Sends to clients: bounded, one at a time per client, never held up by another client.
#include "bridge/client_sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_sockets.h"
#include "support/captured_lines.h"
#include "support/fake_client.h"
#include "support/wait.h"

namespace qs {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ClientSenderTest : public ::testing::Test {
 protected:
  ClientSenderTest() {
    log_.SetLogView(&lines_);
    slowReader_.Assign(testing::FakeClient(sockets_, 11));
    other_.Assign(testing::FakeClient(sockets_, 22));
  }
  ~ClientSenderTest() override { log_.SetLogView(nullptr); }

  void SendTo(ClientSlot& slot, const std::string& text) {
    sender_.SendTCP(slot, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
  // The time limit of each send to the socket so far, in order.
  std::vector<std::chrono::milliseconds> LimitsFor(platform::SocketHandle socket) {
    std::vector<std::chrono::milliseconds> limits;
    for (const auto& sent : sockets_.SentSoFar()) {
      if (sent.socket == socket) limits.push_back(sent.timeout);
    }
    return limits;
  }

  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  testing::CapturedLines lines_;
  testing::FakeSockets sockets_;
  ClientSender sender_{log_};
  ClientSlot slowReader_;
  ClientSlot other_;
};

TEST_F(ClientSenderTest, AClientThatStopsReadingCostsOneBoundedSendUntilItReadsAgain) {
  sockets_.StopReading(11);
  const auto start = Clock::now();
  SendTo(slowReader_, "first");
  EXPECT_GE(Clock::now() - start, 900ms);
  // Later sends take what fits at once: the reader of the port and the server thread do
  // not wait a second for every chunk or reply to a client that is not there.
  SendTo(slowReader_, "second");
  EXPECT_EQ(lines_.Texts(), (std::vector<std::string>{"SendTCP Error - nie wyslano wszystkiego",
                                                      "SendTCP Error - nie wyslano wszystkiego"}));

  sockets_.ResumeReading(11);
  SendTo(slowReader_, "third");  // still at once, but it goes whole
  SendTo(slowReader_, "fourth");
  const auto limits = LimitsFor(11);
  ASSERT_EQ(limits.size(), 4u);
  EXPECT_GT(limits[0], 900ms);
  EXPECT_LE(limits[0], ClientSender::kSendTimeout);
  EXPECT_EQ(limits[1], 0ms);
  EXPECT_EQ(limits[2], 0ms);
  EXPECT_GT(limits[3], 900ms);
  EXPECT_EQ(lines_.Texts().size(), 2u);
}

TEST_F(ClientSenderTest, OtherClientsAreServedWhileASendWaitsAndTheSameClientWaitsItsTurn) {
  sockets_.StopReading(11);
  std::thread stuck([this] { SendTo(slowReader_, "stuck"); });
  ASSERT_TRUE(testing::WaitUntil([&] { return sockets_.SendsInFlight() == 1; }, 5s));

  const auto start = Clock::now();
  SendTo(other_, "served");
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_EQ(LimitsFor(22).size(), 1u);

  // A second send to the stuck client must not mix its bytes with the first: it waits for
  // its turn, within its own bound, and then finds the client stalled.
  SendTo(slowReader_, "queued");
  stuck.join();
  EXPECT_FALSE(sockets_.Overlapped());
  // It gave up waiting, or got its turn just in time and found the client stalled.
  const auto limits = LimitsFor(11);
  ASSERT_LE(limits.size(), 2u);
  if (limits.size() == 2) {
    EXPECT_EQ(limits[1], 0ms);
  }
  EXPECT_EQ(lines_.Texts(), (std::vector<std::string>{"SendTCP Error - nie wyslano wszystkiego",
                                                      "SendTCP Error - nie wyslano wszystkiego"}));
}

TEST_F(ClientSenderTest, LettingTheClientGoEndsItsSendAtOnceAndThenClosesItsSocket) {
  sockets_.StopReading(11);
  std::atomic<bool> done{false};
  std::thread stuck([&] {
    SendTo(slowReader_, "stuck");
    done = true;
  });
  ASSERT_TRUE(testing::WaitUntil([&] { return sockets_.SendsInFlight() == 1; }, 5s));
  slowReader_.Release();

  EXPECT_TRUE(testing::WaitUntil([&] { return done.load(); }, 500ms));
  stuck.join();
  EXPECT_EQ(sockets_.Closed(), std::vector<platform::SocketHandle>{11});
  EXPECT_FALSE(sockets_.ClosedMidSend()) << "its number could have gone to another client";
  EXPECT_TRUE(lines_.Texts().empty()) << "a client let go is not a send error";

  SendTo(slowReader_, "nobody");
  EXPECT_EQ(LimitsFor(11).size(), 1u);
}

}  // namespace
}  // namespace qs
