// Sockets in memory: records every send and answers as the test scripts.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakes/journal.h"
#include "platform/net.h"

namespace qs::testing {

class FakeSockets final : public platform::SocketApi {
 public:
  struct Sent {
    platform::SocketHandle socket;
    std::vector<std::uint8_t> bytes;
  };

  platform::SendResult Send(platform::SocketHandle socket, const std::uint8_t* bytes,
                            std::size_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({socket, std::vector<std::uint8_t>(bytes, bytes + count)});
    if (journal) journal->Add("send " + std::to_string(count));
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
  void Close(platform::SocketHandle) override {}
  int WaitReadable(const std::vector<platform::SocketHandle>&, std::vector<bool>&,
                   std::chrono::milliseconds) override {
    return -1;
  }
  std::unique_ptr<platform::SocketWaker> CreateWaker() override { return nullptr; }

  void FailNext(platform::SendResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextResult_ = result;
  }
  std::vector<Sent> SentSoFar() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
  }

  Journal* journal = nullptr;

 private:
  std::mutex mutex_;
  std::vector<Sent> sent_;
  std::optional<platform::SendResult> nextResult_;
};

}  // namespace qs::testing
