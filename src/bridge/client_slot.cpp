// The client slot's socket, under its lock.
#include "bridge/client_slot.h"

namespace qs {

void ClientSlot::Assign(platform::SocketHandle socket) {
  stream_.Reset();
  std::lock_guard<std::mutex> lock(mutex_);
  socket_ = socket;
}

platform::SocketHandle ClientSlot::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  const platform::SocketHandle socket = socket_;
  socket_ = platform::kNoSocket;
  return socket;
}

platform::SocketHandle ClientSlot::socket() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return socket_;
}

std::optional<platform::SendResult> ClientSlot::Send(platform::SocketApi& sockets,
                                                     const std::uint8_t* bytes, std::size_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (socket_ == platform::kNoSocket) return std::nullopt;
  return sockets.Send(socket_, bytes, count);
}

}  // namespace qs
