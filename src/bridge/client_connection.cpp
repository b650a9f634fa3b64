// Bounded, one-at-a-time sends to a client, ended at once when the client is let go.
#include "bridge/client_connection.h"

namespace qs {

ClientConnection::ClientConnection(platform::SocketApi& sockets, platform::SocketHandle socket,
                                   std::unique_ptr<platform::SocketWaker> cancel)
    : sockets_(sockets), socket_(socket), cancel_(std::move(cancel)) {}

ClientConnection::~ClientConnection() {
  sockets_.Close(socket_);
}

std::optional<platform::SendResult> ClientConnection::Send(const std::uint8_t* bytes,
                                                           std::size_t count,
                                                           std::chrono::milliseconds timeout,
                                                           bool moreFollows) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::chrono::milliseconds wait{0};
  bool gone = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // Two senders (a reply and the port's data) must not mix their bytes on the wire.
    if (!turn_.wait_until(lock, deadline, [&] { return !sending_ || cancelled_; })) {
      return platform::SendResult{0, 0};
    }
    if (cancelled_) return std::nullopt;
    sending_ = true;
    if (!stalled_) {
      wait =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (wait.count() < 0) wait = std::chrono::milliseconds{0};
    }
  }
  const platform::SendResult result =
      sockets_.Send(socket_, bytes, count, wait, cancel_.get(), moreFollows);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sending_ = false;
    if (result.sent >= 0) stalled_ = static_cast<std::size_t>(result.sent) < count;
    gone = cancelled_;
  }
  turn_.notify_one();
  // A send cut short because the client was let go is no fault of the send.
  if (gone) return std::nullopt;
  return result;
}

void ClientConnection::Cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  if (cancel_) cancel_->Wake();
  turn_.notify_all();
}

}  // namespace qs
