// One connected client: its socket, sends to it one at a time and each within a bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net.h"

namespace qs {

// Shared by the slot that holds it and by whoever is sending to it at the moment, so the
// socket stays open (and its number cannot be handed to another client) until the last
// send is out. Nobody holds a lock while a send waits for the peer.
class ClientConnection {
 public:
  // Takes the socket and the waker that ends its sends; closes both when the last user
  // lets go.
  ClientConnection(platform::SocketApi& sockets, platform::SocketHandle socket,
                   std::unique_ptr<platform::SocketWaker> cancel);
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  platform::SocketHandle socket() const { return socket_; }

  // Sends the bytes within timeout, the wait for another send to this client included.
  // Once a send has ended short, the client is taken to have stopped reading: later sends
  // take only what fits at once, until one goes out whole. nullopt when Cancel came first
  // or cut the send short. moreFollows: the caller's next send to this client comes at
  // once, and the bytes may wait in the socket to go out with it.
  std::optional<platform::SendResult> Send(const std::uint8_t* bytes, std::size_t count,
                                           std::chrono::milliseconds timeout,
                                           bool moreFollows = false);

  // The client is let go: a send in progress ends at once and nothing more is sent.
  void Cancel();

 private:
  platform::SocketApi& sockets_;
  const platform::SocketHandle socket_;
  const std::unique_ptr<platform::SocketWaker> cancel_;

  std::mutex mutex_;
  std::condition_variable turn_;
  bool sending_ = false;
  bool cancelled_ = false;
  bool stalled_ = false;
};

}  // namespace qs
