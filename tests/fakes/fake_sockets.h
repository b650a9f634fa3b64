// Sockets in memory: records every send and answers as the test scripts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fakes/journal.h"
#include "platform/net.h"

namespace qs::testing {

class FakeSockets;

// Wakes a send that the fake holds (a peer that takes nothing).
class FakeWaker final : public platform::SocketWaker {
 public:
  explicit FakeWaker(FakeSockets& sockets) : sockets_(sockets) {}
  platform::SocketHandle handle() const override { return 999; }
  void Wake() override;
  void Drain() override {}
  bool woken() const { return woken_.load(); }

 private:
  FakeSockets& sockets_;
  std::atomic<bool> woken_{false};
};

class FakeSockets final : public platform::SocketApi {
 public:
  struct Sent {
    platform::SocketHandle socket;
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds timeout;
    bool moreFollows;
  };

  platform::SendResult Send(platform::SocketHandle socket, const std::uint8_t* bytes,
                            std::size_t count, std::chrono::milliseconds timeout,
                            const platform::SocketWaker* cancel, bool moreFollows) override {
    std::unique_lock<std::mutex> lock(mutex_);
    sent_.push_back(
        {socket, std::vector<std::uint8_t>(bytes, bytes + count), timeout, moreFollows});
    if (journal) journal->Add("send " + std::to_string(count));
    ++sendsInFlight_;
    if (++inFlightTo_[socket] > 1) overlapped_ = true;
    changed_.notify_all();
    if (stoppedPeers_.count(socket) != 0) {
      // Nothing goes until the time-out runs out or the client is let go.
      const auto* waker = static_cast<const FakeWaker*>(cancel);
      changed_.wait_for(lock, timeout, [&] { return waker && waker->woken(); });
      --sendsInFlight_;
      --inFlightTo_[socket];
      return {0, 0};
    }
    --sendsInFlight_;
    --inFlightTo_[socket];
    if (nextResult_) {
      const platform::SendResult result = *nextResult_;
      nextResult_.reset();
      return result;
    }
    return {static_cast<long>(count), 0};
  }

  bool Startup() override { return true; }
  void Cleanup() override {}
  platform::SocketHandle Listen(std::uint16_t, int) override { return platform::kNoSocket; }
  platform::SocketHandle Accept(platform::SocketHandle) override { return platform::kNoSocket; }
  void SetNoDelay(platform::SocketHandle) override {}
  long Receive(platform::SocketHandle, std::uint8_t*, std::size_t) override { return -1; }
  void Close(platform::SocketHandle socket) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sendsInFlight_ > 0) closedMidSend_ = true;
    closed_.push_back(socket);
  }
  int WaitReadable(const std::vector<platform::SocketHandle>&, std::vector<bool>&,
                   std::chrono::milliseconds) override {
    return -1;
  }
  std::unique_ptr<platform::SocketWaker> CreateWaker() override {
    return std::make_unique<FakeWaker>(*this);
  }

  void FailNext(platform::SendResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextResult_ = result;
  }
  std::vector<Sent> SentSoFar() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }
  // The sends from the first-th on.
  std::vector<Sent> SentFrom(std::size_t first) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= sent_.size()) return {};
    return {sent_.begin() + static_cast<std::ptrdiff_t>(first), sent_.end()};
  }
  std::vector<platform::SocketHandle> Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
  }
  // A socket was closed while a send was still using one.
  bool ClosedMidSend() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closedMidSend_;
  }
  // Two sends to one socket were in progress at once: their bytes could have mixed.
  bool Overlapped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return overlapped_;
  }
  int SendsInFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sendsInFlight_;
  }
  void WakeSends() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
  }

  // Sends to the socket wait out their time-out (or their cancel) and take nothing.
  void StopReading(platform::SocketHandle socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    stoppedPeers_.insert(socket);
  }
  void ResumeReading(platform::SocketHandle socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    stoppedPeers_.erase(socket);
  }

  Journal* journal = nullptr;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Sent> sent_;
  std::vector<platform::SocketHandle> closed_;
  std::set<platform::SocketHandle> stoppedPeers_;
  int sendsInFlight_ = 0;
  bool closedMidSend_ = false;
  std::map<platform::SocketHandle, int> inFlightTo_;
  bool overlapped_ = false;
  std::optional<platform::SendResult> nextResult_;
};

inline void FakeWaker::Wake() {
  woken_.store(true);
  sockets_.WakeSends();
}

}  // namespace qs::testing
