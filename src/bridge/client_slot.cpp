// The client slot's connection, under its lock.
#include "bridge/client_slot.h"

#include <utility>

namespace qs {

void ClientSlot::Assign(std::shared_ptr<ClientConnection> connection) {
  stream_.Reset();
  std::lock_guard<std::mutex> lock(mutex_);
  connection_ = std::move(connection);
}

void ClientSlot::Release() {
  std::shared_ptr<ClientConnection> released;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released = std::move(connection_);
  }
  // Outside the lock: the last reference may be this one, and closing is a socket call.
  if (released) released->Cancel();
}

platform::SocketHandle ClientSlot::socket() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_ ? connection_->socket() : platform::kNoSocket;
}

std::shared_ptr<ClientConnection> ClientSlot::connection() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_;
}

}  // namespace qs
