// The Win32 serial backend under Wine: what only it has (the tests both backends share are
// in comm_contract_test.cpp), on a pty pair linked as two COM ports.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/comm.h"
#include "platform/common/mode_string.h"
#include "support/comm_port_pair.h"
#include "support/mode_string_cases.h"

namespace qs::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::UnderWine;

// The wrapper script links this name to one end of a pty pair.
constexpr const char* kPortA = "COM5";

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// A call that may block runs on its own thread; if it has not returned within the limit
// the program stops loudly (the stuck thread cannot be joined, and a hang must not pass).
template <typename Call>
auto WithinLimit(milliseconds limit, const char* what, Call call) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FAIL: %s did not return within %lld ms\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }
  return result.get();
}

const bool kMarkerInstalled = testing::InstallPassMarker("comm_win32_test");

// ---------------------------------------------------------------------------------------
// Opening.

TEST(Win32CommOpen, PortsOpenUnderTheirUsualNamesAndMissingOnesAreRefused) {
  for (const char* name : {"COM5", "com6", "\\\\.\\COM5", "\\\\.\\COM6"}) {
    auto port = SystemComm().Open(name);
    EXPECT_NE(port, nullptr) << name << " error " << GetLastError();
  }
  EXPECT_EQ(SystemComm().Open("COM77"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32CommOpen, SecondOpenOfAnOpenPortIsRefusedOnWindows) {
  auto first = SystemComm().Open(kPortA);
  ASSERT_NE(first, nullptr);
  auto second = SystemComm().Open(kPortA);
  if (UnderWine()) {
    // Wine lets a second handle in despite share mode 0; nothing to check here.
    std::printf("[  note    ] second open of %s under Wine: %s\n", kPortA,
                second ? "allowed" : "refused");
    return;
  }
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// ---------------------------------------------------------------------------------------
// Mode strings: the plain-code parser (used by the Linux build) against the real API.

// Every field set, with a value of its own, in Dcb's field order.
constexpr std::uint32_t kPatternFlags = kDcbBinary | kDcbOutxCtsFlow | kDcbOutX | kDcbInX |
                                        (1u << kDcbDtrControlShift) | (2u << kDcbRtsControlShift);
constexpr Dcb kPatternDcb{kDcbSize, 1234, kPatternFlags, 0,   2048, 512,  7, 3,
                          1,        0x11, 0x13,          '?', 0x1a, '\n', 0};

// Where Wine departs from what Windows documents: it refuses dtr=hs, rts=hs and rts=tg
// (dtr={on|off|hs}, rts={on|off|hs|tg}), and reads an old-form rate of 15 as 15 baud, not 150.
bool WineDiffers(std::string_view mode) {
  std::string lower;
  for (const char c : mode) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.starts_with("15,") || lower.find("dtr=hs") != std::string::npos ||
         lower.find("rts=hs") != std::string::npos || lower.find("rts=tg") != std::string::npos;
}

struct ModeResult {
  bool ok = false;
  Dcb dcb = kPatternDcb;
  CommTimeouts timeouts{11, 22, 33, 44, 55};
};

std::string Describe(const ModeResult& r) {
  char text[160];
  std::snprintf(text, sizeof text,
                "%s baud %u data %d parity %d stop %d flags 0x%x timeouts %u,%u,%u,%u,%u",
                r.ok ? "accepted" : "refused", r.dcb.BaudRate, r.dcb.ByteSize, r.dcb.Parity,
                r.dcb.StopBits, r.dcb.flags, r.timeouts.ReadIntervalTimeout,
                r.timeouts.ReadTotalTimeoutMultiplier, r.timeouts.ReadTotalTimeoutConstant,
                r.timeouts.WriteTotalTimeoutMultiplier, r.timeouts.WriteTotalTimeoutConstant);
  return text;
}

// Both from the same starting block: the same verdict and every byte of the results equal.
void ExpectParserAgrees(std::string_view mode, int& compared, int& mismatches) {
  if (UnderWine() && WineDiffers(mode)) return;
  ++compared;
  ModeResult real;
  ModeResult ours;
  real.ok = SystemComm().BuildCommDcbAndTimeouts(std::string(mode), real.dcb, real.timeouts);
  ours.ok = ParseModeString(std::string(mode), ours.dcb, ours.timeouts);
  const bool same = real.ok == ours.ok && std::memcmp(&real.dcb, &ours.dcb, sizeof real.dcb) == 0 &&
                    std::memcmp(&real.timeouts, &ours.timeouts, sizeof real.timeouts) == 0;
  mismatches += same ? 0 : 1;
  EXPECT_TRUE(same) << '"' << mode << "\"\n  real API: " << Describe(real)
                    << "\n  parser:   " << Describe(ours);
}

TEST(Win32CommModeString, PortableParserAgreesWithTheRealApi) {
  int compared = 0;
  int mismatches = 0;
  for (const auto& c : testing::kAcceptedModes) ExpectParserAgrees(c.mode, compared, mismatches);
  for (const auto mode : testing::kRefusedModes) ExpectParserAgrees(mode, compared, mismatches);
  std::printf("[  note    ] mode strings compared: %d, mismatches: %d\n", compared, mismatches);
}

// ---------------------------------------------------------------------------------------
// COM5, with COM6 as its far end.

using Win32CommPair = testing::CommContractTest;

TEST_F(Win32CommPair, MissingModemLinesFailWithNotSupportedUnderWine) {
  if (!UnderWine()) return;
  std::uint32_t status = 0;
  EXPECT_FALSE(port->GetModemStatus(status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(port->EscapeFunction(kSetRts));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

// A pty cannot be filled this way on Linux: its kernel frees room in the background.
TEST_F(Win32CommPair, WriteThatTimesOutFailsAndTheByteNeverGoesOut) {
  // Nobody reads COM6: the pty pair's buffers fill up until a write cannot finish.
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 0, 0, 300}));
  long long accepted = 0;
  long long failedAfter = -1;
  const auto fillStart = Clock::now();
  WithinLimit(milliseconds(120000), "filling the line", [&] {
    for (long long i = 0; i < 2'000'000; ++i) {
      const auto start = Clock::now();
      if (!port->WriteByte(static_cast<std::uint8_t>(i))) {
        failedAfter = MillisecondsSince(start);
        break;
      }
      ++accepted;
    }
  });
  std::printf("[  measure ] line full after %lld bytes (%lld ms); the failed write took %lld ms\n",
              accepted, MillisecondsSince(fillStart), failedAfter);
  ASSERT_GE(failedAfter, 0) << "no write ever failed";
  EXPECT_GE(failedAfter, 250);
  EXPECT_LE(failedAfter, 3000);

  // Exactly the accepted bytes arrive, in order; the one that timed out does not follow.
  const auto drainStart = Clock::now();
  const std::string received = testing::CommPortPair::ReceiveUntilQuiet(
      pair.farEnd(), milliseconds(500), milliseconds(30000));
  std::printf("[  measure ] reading the line empty took %lld ms\n", MillisecondsSince(drainStart));
  EXPECT_EQ(static_cast<long long>(received.size()), accepted);
  bool inOrder = true;
  for (std::size_t i = 0; i < received.size(); ++i) {
    inOrder = inOrder && static_cast<std::uint8_t>(received[i]) == static_cast<std::uint8_t>(i);
  }
  EXPECT_TRUE(inOrder);
}

// Under Wine the driver reports no input events on a pty, so the wait for input reads the
// first byte itself: that byte must come first in the next read, ahead of those behind it,
// and a purge of input must drop it like any other byte not yet read.
TEST_F(Win32CommPair, AByteTheWaitForInputTookComesFirstAndAPurgeDropsIt) {
  using testing::Background;
  // Reads left to the driver: as many as asked, or what came within 300 ms.
  ASSERT_TRUE(port->SetTimeouts(CommTimeouts{0, 0, 300, 0, 1000}));
  for (const char* ahead : {"a", "d"}) {
    Background<bool> wait(*port, [&] { return port->WaitForInput(milliseconds(5000)); });
    ASSERT_FALSE(wait.Done(milliseconds(100)));
    ASSERT_TRUE(pair.Send(ahead));
    ASSERT_TRUE(wait.Done(testing::kPrompt)) << "input missed";
    ASSERT_TRUE(wait.Get());
    if (*ahead == 'a') {
      ASSERT_TRUE(pair.Send("bc"));
      const testing::TimedRead got =
          WithinLimit(milliseconds(5000), "the read", [&] { return testing::ReadFrom(*port, 3); });
      EXPECT_EQ(got.bytes, "abc");
    } else {
      ASSERT_TRUE(port->Purge(kPurgeRxClear));
      const testing::TimedRead got =
          WithinLimit(milliseconds(5000), "the read", [&] { return testing::ReadFrom(*port, 3); });
      EXPECT_EQ(got.count, 0) << "a purged byte came back: " << got.bytes;
    }
  }
}

}  // namespace
}  // namespace qs::platform
