// Sends to client slots, with the two error lines; never retried.
#include "bridge/client_sender.h"

#include <memory>
#include <string>

namespace qs {

void ClientSender::SendTCP(ClientSlot& slot, const std::uint8_t* bytes, std::size_t count) {
  const std::shared_ptr<ClientConnection> client = slot.connection();
  if (!client) return;
  const std::optional<platform::SendResult> result = client->Send(bytes, count, kSendTimeout);
  if (!result) return;  // the client was let go meanwhile
  if (result->sent < 0) {
    log_.LogEvent("SendTCP Error: " + std::to_string(result->error));
  } else if (static_cast<std::size_t>(result->sent) != count) {
    log_.LogEvent("SendTCP Error - nie wyslano wszystkiego");
  }
}

void ClientSender::DeviceData(const std::uint8_t* bytes, std::size_t count) {
  if (ClientSlot* owner = ownerClient.load()) SendTCP(*owner, bytes, count);
}

}  // namespace qs
