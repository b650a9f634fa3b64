// A client slot of the TCP server: the socket it holds now, or none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "bridge/client_stream.h"
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

  // A new client takes the slot: its stream starts empty.
  void Assign(platform::SocketHandle socket);
  // Empties the slot and returns the socket it held, for the caller to close.
  platform::SocketHandle Release();
  platform::SocketHandle socket() const;
  bool IsFree() const { return socket() == platform::kNoSocket; }

  // One send to the socket held now; nothing (no result) while the slot is free.
  std::optional<platform::SendResult> Send(platform::SocketApi& sockets, const std::uint8_t* bytes,
                                           std::size_t count);

  // The framing state of the client in the slot; the TCP server thread's alone.
  ClientStream& stream() { return stream_; }

 private:
  mutable std::mutex mutex_;
  platform::SocketHandle socket_ = platform::kNoSocket;
  ClientStream stream_;
};

inline constexpr std::size_t kClientSlotCount = 5;

}  // namespace qs
