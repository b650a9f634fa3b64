// What every serial backend does with time: read and write time-outs, waits for input, and
// cancel and close from another thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/comm.h"
#include "support/comm_port_pair.h"

namespace qs::testing {
namespace {

using namespace std::chrono_literals;
using platform::SystemComm;
using CommContractIo = CommContractTest;

// A read that no time-out should leave waiting still ends: the test fails instead of hanging.
TimedRead ReadWithin(CommPort& port, std::size_t size, Ms limit) {
  Background<TimedRead> read(port, [&] { return ReadFrom(port, size); });
  if (!read.Done(limit)) {
    ADD_FAILURE() << "the read did not end within " << limit.count() << " ms";
    return {-2, {}, limit};
  }
  return read.Get();
}

// --- Read time-outs --------------------------------------------------------------------

// A read of bytes already waiting (or of a silent line) and how long it takes. Twice
// through: a backend may reuse its records from read to read.
TEST_F(CommContractIo, ReadTimeoutsEndReadsOnTimeWithWhatCame) {
  const struct {
    std::uint32_t timeouts[3];  // interval, multiplier, constant
    std::string waiting;
    std::size_t asked;
    Ms atLeast, atMost;
    bool queued;  // the bytes are all there before the read starts (else they may follow)
    bool wine;    // Wine's time-outs end it like this too
  } rows[] = {
      {{0, 0, 100}, "", 10, 100ms - kEarly, 100ms + kLate, true, true},
      {{0, 30, 40}, "", 4, 160ms - kEarly, 160ms + kLate, true, true},  // per byte asked
      {{0, 0, 150}, "ab", 10, 150ms - kEarly, 150ms + kLate, true, true},
      {{50, 0, 5000}, "de", 10, 50ms - kEarly, 50ms + kLate, true, true},  // the gap ends it
      {{200, 0, 100}, "", 10, 100ms - kEarly, 100ms + kLate, true, true},  // total before gap
      {{kMaxDword, 0, 0}, "", 10, 0ms, kPrompt, true, true},               // what is there, at once
      {{kMaxDword, 0, 0}, "abc", 10, 0ms, kPrompt, true, true},
      {{kMaxDword, kMaxDword, 100}, "", 10, 100ms - kEarly, 100ms + kLate, true, true},
      {{kMaxDword, kMaxDword, 100}, "q", 10, 0ms, kPrompt, true, true},
      {{kMaxDword, 10, 100}, "ab", 4, 0ms, 140ms, true, true},  // buffered bytes before timer
      {{0, 0, 100}, "", 16, 80ms, 1500ms, false, true},
      {{0, 10, 40}, "", 16, 170ms, 2000ms, false, true},
      {{0, 0, 300}, "\x01\x02\x03", 64, 0ms, 2000ms, false, true},
      // No total time-out: only the gap after the last byte can end this read.
      {{50, 0, 0}, std::string("\x00\xff\x55", 3), 64, 0ms, 2000ms, false, true},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& row : rows) {
      const std::string& sent = row.waiting;
      const auto [interval, multiplier, constant] = row.timeouts;
      SCOPED_TRACE(::testing::Message()
                   << interval << ',' << multiplier << ',' << constant << " \"" << sent << '"');
      if (CommPortPair::kWineReadTimeouts && !row.wine) continue;
      if (row.queued && !pair.SeesInputQueue()) continue;
      ASSERT_TRUE(pair.Send(sent));
      if (row.queued) {
        ASSERT_TRUE(pair.WaitQueued(static_cast<int>(sent.size()), kPrompt));
      }
      SetReadTimeouts(interval, multiplier, constant);
      const TimedRead got = ReadWithin(*port, row.asked, 5000ms);
      std::printf("[  measure ] %u,%u,%u: %ld bytes after %lld ms\n", interval, multiplier,
                  constant, got.count, static_cast<long long>(got.elapsed.count()));
      EXPECT_EQ(got.count, static_cast<long>(sent.size()));
      EXPECT_EQ(got.bytes, sent);
      EXPECT_GE(got.elapsed, row.atLeast);
      EXPECT_LE(got.elapsed, row.atMost);
    }
  }
}

// A read that must still wait after quiet, until more bytes come.
TEST_F(CommContractIo, ReadTimeoutsKeepAReadWaitingForBytesToCome) {
  const struct {
    std::uint32_t timeouts[3];
    std::size_t asked;
    const char* first;  // sent before checking that the read still waits
    Ms quiet;
    const char* then;
    const char* expected;
    Ms gapAfterThen;  // the least time from sending then to the read's end
    Ms total;         // the read's length, when a timer ends it (else 0)
    bool wine;        // Wine's time-outs keep it waiting like this too
  } rows[] = {
      // 0x80000000 * 2 is 0 in 32 bits, which would end the read at once.
      {{0, 0x80000000u, 0}, 2, "", 200ms, "xy", "xy", 0ms, 0ms, false},
      {{50, 0, 0}, 10, "", 300ms, "abc", "abc", 50ms - kEarly, 0ms, true},       // the gap timer
      {{kMaxDword, kMaxDword, 10000}, 10, "", 100ms, "r", "r", 0ms, 0ms, true},  // first byte
      // Nothing buffered: bytes arriving later do not end it, the timer or a full buffer does.
      {{kMaxDword, 10, 100}, 4, "", 30ms, "cd", "cd", 0ms, 140ms, true},
      // No time-outs: it waits for every byte asked, not for one of two.
      {{0, 0, 0}, 2, "\xa1", 200ms, "\xa2", "\xa1\xa2", 0ms, 0ms, true},
      // The same, last, as it leaves one byte unread.
      {{0, 0, 0}, 4, "12", 200ms, "345", "1234", 0ms, 0ms, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.expected);
    if (CommPortPair::kWineReadTimeouts && !row.wine) continue;
    SetReadTimeouts(row.timeouts[0], row.timeouts[1], row.timeouts[2]);
    Background<TimedRead> read(*port, [&] { return ReadFrom(*port, row.asked); });
    ASSERT_TRUE(pair.Send(row.first));
    EXPECT_FALSE(read.Done(row.quiet));
    const auto sent = Clock::now();
    ASSERT_TRUE(pair.Send(row.then));
    ASSERT_TRUE(read.Done(kPrompt));
    EXPECT_GE(Since(sent), row.gapAfterThen);
    const TimedRead got = read.Get();
    EXPECT_EQ(got.bytes, row.expected);
    if (row.total > 0ms) {
      EXPECT_GE(got.elapsed, row.total - kEarly);
      EXPECT_LE(got.elapsed, row.total + kLate);
    }
  }
}

// What the reader waits with between reads that end at once on a silent line: the wait ends
// at the limit, soon after a byte comes, at once for bytes already there, or on a cancel.
TEST_F(CommContractIo, WaitForInputEndsOnInputTheLimitOrACancel) {
  SetReadTimeouts(kMaxDword, 0, 0);
  // The first wait may find out how the driver is.
  for (const Ms limit : {50ms, 100ms, 100ms}) {
    const auto start = Clock::now();
    EXPECT_FALSE(port->WaitForInput(limit));
    EXPECT_GE(Since(start), limit - 10ms);
  }

  Background<bool> wait(*port, [&] { return port->WaitForInput(5s); });
  EXPECT_FALSE(wait.Done(100ms));
  const auto sent = Clock::now();
  ASSERT_TRUE(pair.Send("x"));
  ASSERT_TRUE(wait.Done(kPrompt)) << "input missed";
  std::printf("[  measure ] a waiting reader saw input after %lld ms\n",
              static_cast<long long>(Since(sent).count()));
  EXPECT_TRUE(wait.Get());
  EXPECT_TRUE(port->WaitForInput(5s)) << "the byte is still there";

  EXPECT_EQ(ReadWithin(*port, 4, kPrompt).bytes, "x");
  Background<bool> cancelled(*port, [&] { return port->WaitForInput(5s); });
  EXPECT_FALSE(cancelled.Done(100ms));
  const auto cancelStart = Clock::now();
  ASSERT_TRUE(CancelUntilDone(*port, cancelled)) << "cancel missed";
  EXPECT_LE(Since(cancelStart), 1000ms);
  EXPECT_FALSE(cancelled.Get());
}

// --- Cancel and close from another thread ----------------------------------------------

// A cancel releases a reader and a writer waiting on a held line, on other threads; the
// byte not written never goes out. Neither it nor a cancel with nothing running touches
// later operations: a read waits for its time-out, sleeping rather than spinning.
TEST_F(CommContractIo, CancelEndsEveryOperationInProgressAndNoLaterOne) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));  // no time-outs at all
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 8); });
  EXPECT_FALSE(read.Done(150ms)) << "a read with no time-outs returned on a silent line";
  const auto start = Clock::now();
  ASSERT_TRUE(CancelUntilDone(*port, read)) << "CancelIo did not release the reader";
  std::printf("[  measure ] CancelIo released the reader after %lld ms\n",
              static_cast<long long>(Since(start).count()));
  EXPECT_EQ(read.Get().count, -1);

  ASSERT_TRUE(pair.HoldOutput(*port));
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  const bool held = !write.Done(200ms);
  ASSERT_TRUE(CancelUntilDone(*port, write));
  const bool written = write.Get();
  ASSERT_TRUE(pair.ResumeOutput(*port));
  ASSERT_TRUE(held) << "the write did not wait on the held line";
  EXPECT_FALSE(written);
  EXPECT_EQ(pair.ReceiveAll(), "");

  EXPECT_TRUE(port->CancelIo());
  SetReadTimeouts(0, 0, 100);
  const Ms cpuBefore = ThreadCpuTime();
  const TimedRead got = ReadFrom(*port, 10);
  EXPECT_LT(ThreadCpuTime() - cpuBefore, 40ms);
  EXPECT_EQ(got.count, 0);
  EXPECT_GE(got.elapsed, 100ms - kEarly);
  ASSERT_TRUE(pair.Send(std::string("\x5a\x00", 2)));
  EXPECT_EQ(ReadWithin(*port, 2, kPrompt).bytes, std::string("\x5a\x00", 2));
  EXPECT_TRUE(port->WriteByte(0x42));
  EXPECT_EQ(pair.Receive(1, kPrompt), "\x42");
}

TEST_F(CommContractIo, ACancelledReadHandsBackWhatItHadRead) {
  SetReadTimeouts(0, 0, 0);
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  EXPECT_FALSE(read.Done(150ms)) << "a read with no time-outs returned on a silent line";
  ASSERT_TRUE(pair.Send("\x11\x22"));
  if (pair.SeesInputQueue()) {
    ASSERT_TRUE(pair.WaitQueued(0, kPrompt));
  }
  EXPECT_FALSE(read.Done(300ms));
  ASSERT_TRUE(CancelUntilDone(*port, read));
  const TimedRead got = read.Get();
  EXPECT_EQ(got.count, 2);
  EXPECT_EQ(got.bytes, "\x11\x22");
}

TEST_F(CommContractIo, CloseDuringAReadAndAHeldWriteEndsBothPromptly) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 0}));
  ASSERT_TRUE(pair.HoldOutput(*port));
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(read.Done(150ms));  // both blocked
  EXPECT_FALSE(write.Done(0ms));
  const auto start = Clock::now();
  Background<bool> close(*port, [&] {
    port->Close();
    return true;
  });
  ASSERT_TRUE(close.Done(5000ms)) << "Close during a read";
  const Ms closeTook = Since(start);
  std::printf("[  measure ] Close during a read returned after %lld ms\n",
              static_cast<long long>(closeTook.count()));
  EXPECT_LT(closeTook, CommPortPair::kCloseWithin);
  // Close waits for them to leave, so they have returned (or are returning) by now.
  ASSERT_TRUE(read.Done(kPrompt)) << "the reader still waits after Close";
  ASSERT_TRUE(write.Done(kPrompt));
  EXPECT_EQ(read.Get().count, -1);
  EXPECT_FALSE(write.Get());

  {
    // The handle is gone, and a new one with the same number is not touched.
    [[maybe_unused]] const CommPortPair::HandleReuse reused;
    EXPECT_EQ(ReadFrom(*port, 1).count, -1);
    EXPECT_FALSE(port->WriteByte(1));
    Dcb dcb{};
    EXPECT_FALSE(port->GetState(dcb));
    EXPECT_FALSE(port->SetTimeouts(CommTimeouts{}));
    port->Close();  // again: harmless
  }

  // The device is free again.
  port = SystemComm().Open(pair.path());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(pair.Prepare(*port));
  ASSERT_TRUE(pair.Send("\x33"));
  SetReadTimeouts(0, 0, 2000);
  EXPECT_EQ(ReadWithin(*port, 1, 5000ms).bytes, "\x33");
}

// --- Write time-outs -------------------------------------------------------------------

TEST_F(CommContractIo, AWriteThatCannotGoOutEndsAtItsTimeoutAndIsDiscarded) {
  // 100 ms either way: the constant alone, or the multiplier for one byte and a constant.
  for (const CommTimeouts timeouts :
       {CommTimeouts{0, 0, 0, 0, 100}, CommTimeouts{0, 0, 0, 60, 40}}) {
    ASSERT_TRUE(port->SetTimeouts(timeouts));
    ASSERT_TRUE(pair.HoldOutput(*port));
    const auto start = Clock::now();
    EXPECT_FALSE(port->WriteByte(0x5A));
    EXPECT_GE(Since(start), 100ms - kEarly);
    EXPECT_LE(Since(start), 100ms + kLate);
    ASSERT_TRUE(pair.ResumeOutput(*port));
    EXPECT_EQ(pair.ReceiveAll(), "");
  }
  // With the line going again, writing works.
  EXPECT_TRUE(port->WriteByte(0x42));
  EXPECT_EQ(pair.Receive(1, kPrompt), "\x42");
}

// A write that times out takes back nothing that was reported written, and a close keeps
// what the far end has not read yet (more than the far end's line discipline holds).
TEST_F(CommContractIo, BytesReportedWrittenSurviveALaterTimeoutAndTheClose) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 100}));
  std::string sent;
  for (int i = 0; i < 8000; ++i) sent.push_back(static_cast<char>('a' + i % 26));
  for (const char b : sent) ASSERT_TRUE(port->WriteByte(static_cast<std::uint8_t>(b)));
  ASSERT_TRUE(pair.HoldOutput(*port));
  EXPECT_FALSE(port->WriteByte('X'));
  ASSERT_TRUE(pair.ResumeOutput(*port));
  EXPECT_TRUE(port->WriteByte('.'));
  port->Close();
  const std::string received = pair.Receive(sent.size() + 2, kPrompt);
  EXPECT_EQ(received.size(), sent.size() + 1);
  EXPECT_TRUE(received == sent + ".");
}

TEST_F(CommContractIo, AWriteWaitsWhileTheLineIsHeldAndGoesOutOnceItResumes) {
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 5000}));
  ASSERT_TRUE(pair.HoldOutput(*port));
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(write.Done(100ms));
  EXPECT_EQ(pair.ReceiveAll(), "");
  ASSERT_TRUE(pair.ResumeOutput(*port));
  ASSERT_TRUE(write.Done(kPrompt));
  EXPECT_TRUE(write.Get());
  EXPECT_EQ(pair.Receive(1, kPrompt), "\x5A");
}

}  // namespace
}  // namespace qs::testing
