// A client slot of the TCP server: the socket it holds now, or none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/net.h"

namespace qs {

// Whatever is sent through a slot goes to the socket it holds at that moment. The lock
// keeps a send and the server's close of that socket apart, so a send never reaches a
// socket number that was closed and given to someone else in between.
class ClientSlot {
 public:
  ClientSlot() = default;
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;

  void Assign(platform::SocketHandle socket);
  // Empties the slot and returns the socket it held, for the caller to close.
  platform::SocketHandle Release();
  platform::SocketHandle socket() const;
  bool IsFree() const { return socket() == platform::kNoSocket; }

  // One send to the socket held now; nothing (no result) while the slot is free.
  std::optional<platform::SendResult> Send(platform::SocketApi& sockets, const std::uint8_t* bytes,
                                           std::size_t count);

 private:
  mutable std::mutex mutex_;
  platform::SocketHandle socket_ = platform::kNoSocket;
};

}  // namespace qs
