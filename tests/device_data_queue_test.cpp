// The port's blocks on their way to clients: order, size, recipient, room, and the flush.
#include "bridge/device_data_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "fakes/fake_sockets.h"
#include "support/fake_client.h"
#include "support/wait.h"

namespace qs {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

constexpr std::size_t kBlockSize = 8;
constexpr std::size_t kPlaces = 4;

// Records every send; a test may hold them all until it lets them go.
class HeldSends {
 public:
  struct Sent {
    platform::SocketHandle socket;
    std::vector<std::uint8_t> bytes;
    std::thread::id thread;
    bool moreFollows;
  };

  DeviceDataQueue::SendBlock Sender() {
    return [this](ClientConnection& client, const std::uint8_t* bytes, std::size_t count,
                  bool moreFollows) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++started_;
      changed_.wait_for(lock, 10s, [&] { return !holding_ || passes_ > 0; });
      if (holding_ && passes_ > 0) --passes_;
      sent_.push_back(
          {client.socket(), {bytes, bytes + count}, std::this_thread::get_id(), moreFollows});
    };
  }
  void Hold(bool on) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holding_ = on;
    }
    changed_.notify_all();
  }
  // One held send, the oldest, goes; the rest stay held.
  void LetOneGo() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++passes_;
    }
    changed_.notify_all();
  }
  int Started() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  std::vector<Sent> SentSoFar() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  int passes_ = 0;
  int started_ = 0;
  std::vector<Sent> sent_;
};

class DeviceDataQueueTest : public ::testing::Test {
 protected:
  void Hand(const std::shared_ptr<ClientConnection>& client, std::vector<std::uint8_t> bytes) {
    queue_.Hand(client, bytes.data(), bytes.size());
  }
  static std::vector<std::uint8_t> Full(std::uint8_t value) {
    return std::vector<std::uint8_t>(kBlockSize, value);
  }

  testing::FakeSockets sockets_;
  std::shared_ptr<ClientConnection> first_ = testing::FakeClient(sockets_, 1);
  std::shared_ptr<ClientConnection> second_ = testing::FakeClient(sockets_, 2);
  HeldSends sends_;
  DeviceDataQueue queue_{kBlockSize, kPlaces, sends_.Sender()};
};

TEST_F(DeviceDataQueueTest, FullBlocksWaitInOrderWhileTheReaderGoesOnAndNoneIsDropped) {
  sends_.Hold(true);
  Hand(first_, Full('a'));  // taken by the sending thread, held there
  ASSERT_TRUE(WaitUntil([&] { return sends_.Started() == 1; }));
  Hand(second_, Full('b'));  // each block keeps the client it was read for
  Hand(first_, Full('c'));
  Hand(first_, {'d'});  // short, but blocks wait before it: it queues behind them

  // Every place is taken: the next block waits for room rather than be dropped.
  std::atomic<bool> handed{false};
  std::thread reader([&] {
    Hand(first_, Full('e'));
    handed.store(true);
  });
  EXPECT_FALSE(WaitUntil([&] { return handed.load(); }, 100ms));
  sends_.Hold(false);
  ASSERT_TRUE(WaitUntil([&] { return handed.load(); }));
  reader.join();
  EXPECT_EQ(queue_.Drain(5s), 0u);

  const auto sent = sends_.SentSoFar();
  ASSERT_EQ(sent.size(), 5u);
  struct Expected {
    platform::SocketHandle socket;
    std::vector<std::uint8_t> bytes;
    // Only while the next block for the same client already waits; 'e' comes in when 'a'
    // is out, and whether that is before 'd' is taken is the threads' affair.
    std::optional<bool> moreFollows;
  };
  const std::vector<Expected> expected = {{1, Full('a'), false},
                                          {2, Full('b'), false},
                                          {1, Full('c'), true},
                                          {1, {'d'}, std::nullopt},
                                          {1, Full('e'), false}};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].socket, expected[i].socket) << i;
    EXPECT_EQ(sent[i].bytes, expected[i].bytes) << i;
    if (expected[i].moreFollows) {
      EXPECT_EQ(sent[i].moreFollows, *expected[i].moreFollows) << i;
    }
    EXPECT_NE(sent[i].thread, std::this_thread::get_id()) << i;
  }
}

TEST_F(DeviceDataQueueTest, ShortOrOversizedBlocksWithNothingBeforeThemGoOutOnTheCallersThread) {
  Hand(first_, {'x', 'y'});
  auto sent = sends_.SentSoFar();
  ASSERT_EQ(sent.size(), 1u);  // already out when Hand returned
  EXPECT_EQ(sent[0].thread, std::this_thread::get_id());
  EXPECT_EQ(sent[0].bytes, (std::vector<std::uint8_t>{'x', 'y'}));

  // Larger than a place: after the block before it, and still in one send.
  Hand(first_, Full('a'));
  const std::vector<std::uint8_t> large(kBlockSize + 3, 'L');
  Hand(second_, large);
  sent = sends_.SentSoFar();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].bytes, Full('a'));
  EXPECT_EQ(sent[2].bytes, large);
  EXPECT_EQ(sent[2].socket, 2u);
}

TEST_F(DeviceDataQueueTest, DrainWaitsForEverySendAndDropsOnlyWhatWaitsPastItsLimit) {
  Hand(first_, Full('a'));
  Hand(first_, Full('b'));
  EXPECT_EQ(queue_.Drain(5s), 0u);
  EXPECT_EQ(sends_.SentSoFar().size(), 2u);

  sends_.Hold(true);
  Hand(first_, Full('c'));
  ASSERT_TRUE(WaitUntil([&] { return sends_.Started() == 3; }));
  Hand(first_, Full('d'));
  Hand(first_, Full('e'));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(queue_.Drain(50ms), 2u);  // 'd' and 'e'; 'c' is under way and finishes
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  sends_.Hold(false);
  EXPECT_EQ(queue_.Drain(5s), 0u);
  const auto sent = sends_.SentSoFar();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent.back().bytes, Full('c'));

  // A send that promised the next block keeps it from the drop: only a send without the
  // promise lets the bytes the socket held back go.
  sends_.Hold(true);
  Hand(first_, Full('j'));
  ASSERT_TRUE(WaitUntil([&] { return sends_.Started() == 4; }));
  Hand(first_, Full('k'));
  Hand(first_, Full('l'));
  Hand(first_, Full('m'));
  sends_.LetOneGo();  // 'j'; 'k' is taken with 'l' behind it, and held
  ASSERT_TRUE(WaitUntil([&] { return sends_.Started() == 5; }));
  EXPECT_EQ(queue_.Drain(50ms), 1u);  // 'm'
  sends_.Hold(false);
  EXPECT_EQ(queue_.Drain(5s), 0u);
  const auto kept = sends_.SentSoFar();
  ASSERT_EQ(kept.size(), 6u);
  EXPECT_EQ(kept[4].bytes, Full('k'));
  EXPECT_TRUE(kept[4].moreFollows);
  EXPECT_EQ(kept[5].bytes, Full('l'));
  EXPECT_FALSE(kept[5].moreFollows);

  // The places the dropped blocks held serve again.
  for (std::uint8_t value : {'f', 'g', 'h', 'i'}) Hand(first_, Full(value));
  EXPECT_EQ(queue_.Drain(5s), 0u);
  EXPECT_EQ(sends_.SentSoFar().size(), 10u);
}

// Runs of full blocks with pauses around the sending thread's look for the next one, for
// two clients: every block arrives, in order, to its own client.
TEST_F(DeviceDataQueueTest, RunsOfFullBlocksWithPausesArriveWholeAndInOrder) {
  constexpr int kBlocks = 3000;
  for (int i = 0; i < kBlocks; ++i) {
    Hand(i % 7 == 3 ? second_ : first_, Full(static_cast<std::uint8_t>(i)));
    if (i % 5 == 4) std::this_thread::sleep_for(std::chrono::microseconds(i % 60));
  }
  EXPECT_EQ(queue_.Drain(10s), 0u);
  const auto sent = sends_.SentSoFar();
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kBlocks));
  for (int i = 0; i < kBlocks; ++i) {
    ASSERT_EQ(sent[i].socket, i % 7 == 3 ? 2 : 1) << i;
    ASSERT_EQ(sent[i].bytes, Full(static_cast<std::uint8_t>(i))) << i;
  }
}

TEST(DeviceDataQueueEnd, WhatWaitsIsSentBeforeTheQueueEnds) {
  testing::FakeSockets sockets;
  const auto client = testing::FakeClient(sockets, 7);
  HeldSends sends;
  sends.Hold(true);
  std::thread release;
  {
    DeviceDataQueue queue(kBlockSize, kPlaces, sends.Sender());
    const std::vector<std::uint8_t> block(kBlockSize, 'z');
    queue.Hand(client, block.data(), block.size());
    queue.Hand(client, block.data(), block.size());
    ASSERT_TRUE(WaitUntil([&] { return sends.Started() == 1; }));
    release = std::thread([&] { sends.Hold(false); });
  }
  release.join();
  EXPECT_EQ(sends.SentSoFar().size(), 2u);
}

}  // namespace
}  // namespace qs
