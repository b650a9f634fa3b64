// A client slot of the TCP server: the connection it holds now, or none.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

#include "bridge/client_connection.h"
#include "bridge/client_stream.h"
#include "platform/net.h"

namespace qs {

// Whatever is sent through a slot goes to the client it holds at that moment; the slot,
// not the connection, is what the port's owner designates.
class ClientSlot {
 public:
  ClientSlot() = default;
  ClientSlot(const ClientSlot&) = delete;
  ClientSlot& operator=(const ClientSlot&) = delete;

  // A new client takes the slot: its stream starts empty.
  void Assign(std::shared_ptr<ClientConnection> connection);
  // Empties the slot. A send in progress to its client ends at once; the socket closes
  // as soon as nobody is sending to it.
  void Release();
  // The socket held now, kNoSocket while free.
  platform::SocketHandle socket() const;
  bool IsFree() const { return socket() == platform::kNoSocket; }
  // The client held now, for a send; nullptr while free.
  std::shared_ptr<ClientConnection> connection() const;

  // The framing state of the client in the slot; the TCP server thread's alone.
  ClientStream& stream() { return stream_; }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ClientConnection> connection_;
  ClientStream stream_;
};

inline constexpr std::size_t kClientSlotCount = 5;

}  // namespace qs
