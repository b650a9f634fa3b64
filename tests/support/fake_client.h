// A client connection on the fake sockets, to put in a slot.
#pragma once

#include <memory>

#include "bridge/client_connection.h"
#include "fakes/fake_sockets.h"

namespace qs::testing {

inline std::shared_ptr<ClientConnection> FakeClient(FakeSockets& sockets,
                                                    platform::SocketHandle socket) {
  return std::make_shared<ClientConnection>(sockets, socket, sockets.CreateWaker());
}

}  // namespace qs::testing
