// A serial device in memory: the test feeds what it "receives" and scripts how it misbehaves.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/journal.h"
#include "platform/comm.h"

namespace qs::testing {

// The device behind every port the fake opens; the test keeps it.
class FakeDevice {
 public:
  // Scripted behaviour.
  std::atomic<bool> cancelRefused{false};   // CancelIo fails and leaves reads waiting
  std::atomic<bool> stuckDriver{false};     // a read ends on nothing but ReleaseStuckRead
  std::atomic<bool> failReads{false};       // every read fails at once
  std::atomic<bool> unplugged{false};       // reads fail and tell the device gone; opens fail
  std::atomic<bool> readsEndAtOnce{false};  // a read of a silent line returns 0 at once
  std::atomic<bool> writesGoOut{true};
  std::atomic<bool> setStateRefused{false};
  // A cancel that finds no read in flight ends the next read instead, so a close that comes
  // just before the reader's next read needs no wait (off: such a read waits for the close).
  std::atomic<bool> cancelReachesNextRead{false};
  // So many cancels succeed without reaching the read in flight.
  std::atomic<int> cancelsMissed{0};
  Journal* journal = nullptr;

  // Records.
  std::atomic<int> reads{0};
  std::atomic<int> writeAttempts{0};
  std::atomic<int> readsInFlight{0};
  std::atomic<int> inputWaits{0};
  std::atomic<int> closes{0};
  std::atomic<bool> gone{false};  // a read of the open port found the device unplugged
  platform::Dcb state{};
  platform::CommTimeouts timeouts{};
  std::uint32_t inputQueue = 0;
  std::uint32_t outputQueue = 0;
  std::vector<int> escapes;
  std::uint32_t purges = 0;

  void Feed(std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunks_.push_back(std::move(bytes));
    changed_.notify_all();
  }
  void ReleaseStuckRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::uint8_t> Written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
  }

  long Read(std::uint8_t* buffer, std::size_t size) {
    ++reads;
    if (unplugged.load()) {
      gone = true;
      return -1;
    }
    if (failReads.load()) return -1;
    std::unique_lock<std::mutex> lock(mutex_);
    if (pendingCancel_) {
      pendingCancel_ = false;
      return -1;
    }
    ++readsInFlight;
    const int cancelAtStart = cancels_;
    changed_.wait(lock, [&] {
      if (released_) return true;
      if (stuckDriver.load()) return false;
      return !chunks_.empty() || cancels_ != cancelAtStart || closed_ || readsEndAtOnce.load();
    });
    --readsInFlight;
    if (chunks_.empty() && readsEndAtOnce.load() && cancels_ == cancelAtStart && !closed_) {
      return 0;
    }
    if (chunks_.empty() || closed_ || cancels_ != cancelAtStart) return -1;
    std::vector<std::uint8_t> chunk = std::move(chunks_.front());
    chunks_.pop_front();
    const std::size_t n = std::min(size, chunk.size());
    std::copy_n(chunk.begin(), n, buffer);
    return static_cast<long>(n);
  }
  bool WaitForInput(std::chrono::milliseconds limit) {
    ++inputWaits;
    std::unique_lock<std::mutex> lock(mutex_);
    const int cancelAtStart = cancels_;
    return changed_.wait_for(lock, limit, [&] {
      return !chunks_.empty() || cancels_ != cancelAtStart || closed_;
    }) && !chunks_.empty();
  }
  bool WriteByte(std::uint8_t byte) {
    ++writeAttempts;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || !writesGoOut.load()) return false;
    written_.push_back(byte);
    if (journal) journal->Add("write " + std::to_string(byte));
    return true;
  }
  bool CancelIo() {
    if (cancelRefused.load()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (cancelsMissed > 0) {  // came just before the read it was meant for
      --cancelsMissed;
      return true;
    }
    ++cancels_;
    if (cancelReachesNextRead.load() && readsInFlight.load() == 0) pendingCancel_ = true;
    changed_.notify_all();
    return true;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closed_) ++closes;
    closed_ = true;
    changed_.notify_all();
  }
  bool closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }
  void Reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
    pendingCancel_ = false;
    gone = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> chunks_;
  std::vector<std::uint8_t> written_;
  int cancels_ = 0;
  bool closed_ = false;
  bool released_ = false;
  bool pendingCancel_ = false;
};

class FakeCommPort final : public platform::CommPort {
 public:
  explicit FakeCommPort(FakeDevice& device) : device_(device) {}
  ~FakeCommPort() override { Close(); }

  bool SetState(const platform::Dcb& dcb) override {
    if (device_.setStateRefused.load()) return false;
    device_.state = dcb;
    return true;
  }
  bool GetState(platform::Dcb& dcb) override {
    dcb = device_.state;
    return true;
  }
  bool SetTimeouts(const platform::CommTimeouts& timeouts) override {
    device_.timeouts = timeouts;
    return true;
  }
  bool SetupQueues(std::uint32_t in, std::uint32_t out) override {
    device_.inputQueue = in;
    device_.outputQueue = out;
    return true;
  }
  long Read(std::uint8_t* buffer, std::size_t size) override { return device_.Read(buffer, size); }
  bool Gone() const override { return device_.gone.load(); }
  bool WaitForInput(std::chrono::milliseconds limit) override {
    return device_.WaitForInput(limit);
  }
  bool WriteByte(std::uint8_t byte) override { return device_.WriteByte(byte); }
  bool CancelIo() override { return device_.CancelIo(); }
  void Close() override { device_.Close(); }
  bool EscapeFunction(int function) override {
    device_.escapes.push_back(function);
    return true;
  }
  bool GetModemStatus(std::uint32_t& status) override {
    status = platform::kMsCtsOn | platform::kMsDsrOn;
    return true;
  }
  bool Purge(std::uint32_t flags) override {
    device_.purges = flags;
    return true;
  }

 private:
  FakeDevice& device_;
};

// Opens FakeCommPorts on one FakeDevice; one open at a time, like an exclusive device.
class FakeComm final : public platform::CommApi {
 public:
  bool modeRefused = false;
  bool deviceMissing = false;
  FakeDevice device;
  std::vector<std::string> openedPaths;
  std::vector<std::string> modes;

  bool BuildCommDcbAndTimeouts(const std::string& mode, platform::Dcb& dcb,
                               platform::CommTimeouts&) override {
    modes.push_back(mode);
    if (modeRefused) return false;
    dcb.flags |= platform::kDcbBinary;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    return true;
  }
  bool IsDevicePath(const std::string& name) const override {
    return name.find('/') != std::string::npos;
  }
  std::unique_ptr<platform::CommPort> Open(const std::string& devicePath) override {
    openedPaths.push_back(devicePath);
    if (deviceMissing || device.unplugged.load()) return nullptr;
    device.Reopen();
    return std::make_unique<FakeCommPort>(device);
  }
};

}  // namespace qs::testing
