// The gate of a device handle's operations: cancel generations, the wake-up and its clearing,
// and closing that waits for every operation (bounded, nudging, where asked).
#include "platform/common/operation_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

namespace qs::platform {
namespace {

using namespace std::chrono_literals;

struct CountingWaker final : OperationGate::Waker {
  void Wake() override { ++wakes; }
  void Settle() override { ++settles; }
  std::atomic<int> wakes{0};
  std::atomic<int> settles{0};
};

TEST(OperationGateTest, ACancelStopsTheOperationsInFlightAndNoLaterOne) {
  CountingWaker waker;
  OperationGate gate(&waker);
  gate.Cancel();  // nothing in flight: nothing to wake
  EXPECT_EQ(waker.wakes.load(), 0);

  std::optional<OperationGate::Pass> a(std::in_place, gate);
  std::optional<OperationGate::Pass> b(std::in_place, gate);
  ASSERT_TRUE(*a && *b);
  EXPECT_FALSE(gate.Stopped(*a));
  gate.Cancel();
  EXPECT_EQ(waker.wakes.load(), 1);
  EXPECT_TRUE(gate.Cancelled(*a) && gate.Stopped(*b));
  OperationGate::Pass later(gate);
  EXPECT_FALSE(gate.Stopped(later));

  // The later one waits out the wake-up meant for the older ones; the last of them clears it.
  auto waiting = std::async(std::launch::async, [&] { gate.WaitOutStaleWakeUp(later); });
  a.reset();
  EXPECT_EQ(waker.settles.load(), 0);
  EXPECT_EQ(waiting.wait_for(20ms), std::future_status::timeout);
  b.reset();
  EXPECT_EQ(waker.settles.load(), 1);
  EXPECT_EQ(waiting.wait_for(2s), std::future_status::ready);
}

TEST(OperationGateTest, ShuttingLetsNoneInStopsAllAndWaitsForThemOnce) {
  CountingWaker waker;
  OperationGate gate(&waker);
  std::optional<OperationGate::Pass> running(std::in_place, gate);
  EXPECT_TRUE(gate.Shut());
  EXPECT_FALSE(gate.Shut()) << "only the first closer owns the handle";
  EXPECT_EQ(waker.wakes.load(), 1);
  EXPECT_TRUE(gate.Stopped(*running));
  EXPECT_FALSE(gate.Cancelled(*running));
  EXPECT_FALSE(OperationGate::Pass(gate));
  gate.Cancel();
  EXPECT_EQ(waker.wakes.load(), 1) << "a shut gate wakes nobody again";

  auto idle = std::async(std::launch::async, [&] { gate.WaitUntilIdle(); });
  EXPECT_EQ(idle.wait_for(20ms), std::future_status::timeout);
  running.reset();
  EXPECT_EQ(idle.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(waker.settles.load(), 0) << "nothing is cleared once shut";
}

TEST(OperationGateTest, ABoundedWaitNudgesAgainAndAgainAndGivesUpAtItsLimit) {
  OperationGate gate;
  std::atomic<int> nudges{0};
  {
    OperationGate::Pass stuck(gate);
    gate.Shut();
    EXPECT_FALSE(gate.WaitUntilIdle(60ms, 10ms, [&] { ++nudges; }));
    EXPECT_GE(nudges.load(), 2);
  }
  EXPECT_TRUE(gate.WaitUntilIdle(60ms, 10ms, [&] { ++nudges; }));

  OperationGate other;
  std::optional<OperationGate::Pass> pass(std::in_place, other);
  other.Shut();
  // The operation ends once nudged, as a cancelled I/O would.
  EXPECT_TRUE(other.WaitUntilIdle(10s, 10ms, [&] { pass.reset(); }));
}

}  // namespace
}  // namespace qs::platform
