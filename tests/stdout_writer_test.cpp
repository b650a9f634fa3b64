// The headless stdout writer against pipes and sockets that are read late, slowly or never.
#include "platform/posix/stdout_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

namespace qs::platform {
namespace {

using namespace std::chrono_literals;

std::string Numbered(int number) {
  return "line " + std::to_string(10000 + number);
}

// Where two outputs part: a readable failure instead of 100 kB of text.
::testing::AssertionResult SameOutput(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << got.size() << " bytes instead of " << expected.size()
                                       << ", parting at byte " << at << ": " << got.substr(at, 40);
}

class StdoutWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    for (int fd : fds_) close(fd);
  }
  // A pipe of one page, so that a few lines fill it.
  void SmallPipe(int ends[2]) {
    ASSERT_EQ(pipe(ends), 0);
    fds_.insert(fds_.end(), {ends[0], ends[1]});
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
  }
  // Reads while the writer writes, until it has nothing left for the reader.
  static std::string ReadAll(int readEnd, StdoutWriter& writer) {
    std::string got;
    char buffer[8192];
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      writer.WriteReady();
      pollfd wait{readEnd, POLLIN, 0};
      if (poll(&wait, 1, writer.PollFd() < 0 ? 0 : 10) <= 0) {
        if (writer.PollFd() < 0) break;  // all written, all read
        continue;
      }
      const ssize_t n = read(readEnd, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  // Runs work on another thread; a write that blocks fails the test instead of hanging it
  // (the reader then drains readEnd, if it has one, to let the write end).
  template <typename Work>
  static void NeverBlocks(Work work, int readEnd) {
    std::future<void> done = std::async(std::launch::async, work);
    if (done.wait_for(10s) == std::future_status::ready) return;
    char sink[65536];
    pollfd wait{readEnd, POLLIN, 0};
    while (done.wait_for(0s) != std::future_status::ready && poll(&wait, 1, 100) > 0 &&
           read(readEnd, sink, sizeof sink) > 0) {
    }
    FAIL() << "a write waited for the reader";
  }

  std::vector<int> fds_;
};

TEST_F(StdoutWriterTest, StalledPipeKeepsTheNewestLinesForItsReader) {
  int ends[2];
  SmallPipe(ends);
  const int callerFlags = fcntl(ends[1], F_GETFL);
  StdoutWriter writer(ends[1]);
  constexpr int kLines = 2000;
  NeverBlocks(
      [&] {
        for (int i = 0; i < kLines; ++i) writer.Add(Numbered(i));
        writer.Flush(50ms);  // bounded, though nothing can go
      },
      ends[0]);
  EXPECT_GE(writer.PollFd(), 0) << "the newest lines should still wait";
  EXPECT_EQ(fcntl(ends[1], F_GETFL), callerFlags) << "the shared description was changed";

  std::string expected;
  const std::string out = ReadAll(ends[0], writer);
  // What fitted in the pipe at first, then the 300 newest; everything between is dropped.
  int fitted = 0;
  while (out.compare(expected.size(), Numbered(fitted).size() + 1, Numbered(fitted) + "\n") == 0) {
    expected += Numbered(fitted++) + "\n";
  }
  ASSERT_GT(fitted, 0);
  ASSERT_LT(fitted, kLines - static_cast<int>(StdoutWriter::kMaxWaitingLines));
  for (int i = kLines - static_cast<int>(StdoutWriter::kMaxWaitingLines); i < kLines; ++i) {
    expected += Numbered(i) + "\n";
  }
  EXPECT_TRUE(SameOutput(out, expected));
}

TEST_F(StdoutWriterTest, LinesWrittenInPartsArriveWhole) {
  int pipeEnds[2];
  SmallPipe(pipeEnds);
  int socketEnds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, socketEnds), 0);
  fds_.insert(fds_.end(), {socketEnds[0], socketEnds[1]});
  const int small = 4096;
  setsockopt(socketEnds[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  const int socketFlags = fcntl(socketEnds[1], F_GETFL);

  for (const auto& [readEnd, writeEnd] :
       {std::pair{pipeEnds[0], pipeEnds[1]}, std::pair{socketEnds[0], socketEnds[1]}}) {
    {
      // A line many times what the descriptor takes at once goes out in parts, and the lines
      // dropped for a stalled reader never include it.
      StdoutWriter writer(writeEnd);
      const std::string begun(100000, 'x');
      std::string expected = begun + "\n";
      NeverBlocks(
          [&] {
            writer.Add(begun);
            for (int i = 0; i < 400; ++i) writer.Add(Numbered(i));
          },
          readEnd);
      for (int i = 400 - static_cast<int>(StdoutWriter::kMaxWaitingLines) + 1; i < 400; ++i) {
        expected += Numbered(i) + "\n";
      }
      EXPECT_TRUE(SameOutput(ReadAll(readEnd, writer), expected)) << "descriptor " << writeEnd;
    }
    // A socket cannot be opened afresh, so its flags were switched: and now back.
    if (writeEnd == socketEnds[1]) {
      EXPECT_EQ(fcntl(writeEnd, F_GETFL), socketFlags);
    }
  }
}

TEST_F(StdoutWriterTest, ReaderGoneEndsTheOutputQuietly) {
  int ends[2];
  SmallPipe(ends);
  StdoutWriter writer(ends[1]);
  close(ends[0]);
  fds_.erase(fds_.begin());
  for (int i = 0; i < 10; ++i) writer.Add(Numbered(i));
  // Nothing left to poll for: a loop that polled a broken pipe would never sleep.
  EXPECT_EQ(writer.PollFd(), -1);
}

}  // namespace
}  // namespace qs::platform
