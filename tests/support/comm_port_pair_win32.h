// The port under test and its far end on Windows: COM5 and COM6, which the test's wrapper
// script links to the two ends of one pty pair under Wine.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/comm_test_calls.h"

namespace qs::testing {

// Wine's timers end a little early at times, and late on a busy machine.
inline constexpr Ms kEarly{30};
inline constexpr Ms kLate{1400};

inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline Ms ThreadCpuTime() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return Ms(0);
  const auto ticks = [](FILETIME t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return Ms(static_cast<long long>((ticks(kernel) + ticks(user)) / 10'000));
}

// Prints one "<program>: PASS"/"FAIL" line at the very end, so a run that exits 0 without
// finishing (Wine has been seen to do that) is told apart from a good one.
class PassMarker final : public ::testing::EmptyTestEventListener {
 public:
  explicit PassMarker(const char* program) : program_(program) {}
  void OnTestProgramEnd(const ::testing::UnitTest& unit) override {
    std::printf("%s: %s (%s)\n", program_, unit.Passed() ? "PASS" : "FAIL",
                UnderWine() ? "under Wine" : "on Windows");
    std::fflush(stdout);
  }

 private:
  const char* program_;
};
inline bool InstallPassMarker(const char* program) {
  ::testing::UnitTest::GetInstance()->listeners().Append(new PassMarker(program));
  return true;
}

// What the shared serial-port tests need of a pair, on COM5 with COM6 as its far end.
class CommPortPair {
 public:
  // Wine lets a second handle in despite share mode 0, and does not report data bits and
  // parity of a pty back.
  static inline const bool kSecondOpenRefused = !UnderWine();
  static inline const bool kReportsDataBitsAndParity = !UnderWine();
  // Wine takes a rate of 0, 1.5 stop bits (with 6 or 8 data bits), 2 with 5 data bits, and
  // XON equal to XOFF; and a block it refuses is applied in part.
  static inline const bool kWineLineSettings = UnderWine();
  // A pty under Wine has no modem lines; a real port may have them.
  static inline const bool kNoModemLines = UnderWine();
  // Wine's own read time-outs: the total time-out is worked out in 32 bits. (Those that
  // return buffered bytes at once, which Wine does not keep, the port keeps itself.)
  static inline const bool kWineReadTimeouts = UnderWine();
  static constexpr Ms kCloseWithin{1000};

  CommPortPair() {
    far_ = platform::SystemComm().Open("COM6");
    if (far_ != nullptr && !Prepare(*far_)) far_.reset();
    // Wine lets a second handle look at the port's input queue.
    if (UnderWine()) {
      observer_ = CreateFileA("\\\\.\\COM5", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
  }
  ~CommPortPair() {
    if (observer_ != INVALID_HANDLE_VALUE) CloseHandle(observer_);
  }
  CommPortPair(const CommPortPair&) = delete;
  CommPortPair& operator=(const CommPortPair&) = delete;

  bool ok() const { return far_ != nullptr; }
  CommPort& farEnd() { return *far_; }
  const std::string& path() const { return path_; }
  std::vector<std::string> NoPorts() { return {"COM77"}; }

  // Raw bytes at 115200 baud, and whatever an earlier test left in the line gone.
  bool Prepare(CommPort& port) {
    Dcb dcb{};
    CommTimeouts unused{};
    if (!port.GetState(dcb)) return false;
    if (!platform::SystemComm().BuildCommDcbAndTimeouts("baud=115200 parity=n data=8 stop=1", dcb,
                                                        unused)) {
      return false;
    }
    // No software flow control, so XON and XOFF pass like any other byte.
    dcb.flags = (dcb.flags | platform::kDcbBinary) &
                ~(platform::kDcbOutX | platform::kDcbInX | platform::kDcbParity);
    if (!port.SetState(dcb)) return false;
    ReceiveUntilQuiet(port, Ms(20), Ms(20000));
    return true;
  }

  bool Send(const std::string& bytes) {
    for (const char b : bytes) {
      if (!far_->WriteByte(static_cast<std::uint8_t>(b))) return false;
    }
    return true;
  }
  std::string Receive(std::size_t count, Ms limit = Ms(5000)) {
    std::string received;
    if (!far_->SetTimeouts(CommTimeouts{0, 0, 50, 0, 1000})) return received;
    const auto deadline = Clock::now() + limit;
    while (received.size() < count && Clock::now() < deadline) {
      const TimedRead got = ReadFrom(*far_, count - received.size());
      if (got.count < 0) break;
      received += got.bytes;
    }
    return received;
  }
  std::string ReceiveAll() { return ReceiveUntilQuiet(*far_, Ms(200), Ms(30000)); }

  // Reads until the line has been silent for quiet, or the limit has passed.
  static std::string ReceiveUntilQuiet(CommPort& port, Ms quiet, Ms limit) {
    std::string received;
    const auto wait = static_cast<std::uint32_t>(quiet.count());
    if (!port.SetTimeouts(CommTimeouts{0, 0, wait, 0, 1000})) return received;
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
      const TimedRead got = ReadFrom(port, 4096);
      if (got.count <= 0) break;
      received += got.bytes;
    }
    return received;
  }

  bool SeesInputQueue() const { return observer_ != INVALID_HANDLE_VALUE; }
  bool WaitQueued(int count, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (SeesInputQueue() && Clock::now() < deadline) {
      DWORD errors = 0;
      COMSTAT stat{};
      if (ClearCommError(observer_, &errors, &stat) && stat.cbInQue >= DWORD(count)) return true;
      Sleep(1);
    }
    return false;
  }
  bool HoldOutput(CommPort& port) { return port.EscapeFunction(platform::kSetXoff); }
  bool ResumeOutput(CommPort& port) { return port.EscapeFunction(platform::kSetXon); }
  // A closed handle's value is not reused in a way a test could provoke.
  struct HandleReuse {};

  long DeviceRate() const { return 0; }  // only what the port reports

 private:
  const std::string path_ = "COM5";
  std::unique_ptr<CommPort> far_;
  HANDLE observer_ = INVALID_HANDLE_VALUE;
};

}  // namespace qs::testing
