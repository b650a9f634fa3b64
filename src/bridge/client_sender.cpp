// Sends to client slots, with the two error lines; never retried.
#include "bridge/client_sender.h"

#include <memory>
#include <string>

#include "serial/serial_link.h"

namespace qs {

ClientSender::ClientSender(EventLog& log)
    : log_(log),
      deviceData_(SerialLink::kReadSize, kQueuedBlocks,
                  [this](ClientConnection& client, const std::uint8_t* bytes, std::size_t count,
                         bool moreFollows) { SendTo(client, bytes, count, moreFollows); }) {}

void ClientSender::SendTCP(ClientSlot& slot, const std::uint8_t* bytes, std::size_t count) {
  if (const std::shared_ptr<ClientConnection> client = slot.connection()) {
    SendTo(*client, bytes, count, false);
  }
}

void ClientSender::SendTo(ClientConnection& client, const std::uint8_t* bytes, std::size_t count,
                          bool moreFollows) {
  const std::optional<platform::SendResult> result =
      client.Send(bytes, count, kSendTimeout, moreFollows);
  if (!result) return;  // the client was let go meanwhile
  if (result->sent < 0) {
    log_.LogEvent("SendTCP Error: " + std::to_string(result->error));
  } else if (static_cast<std::size_t>(result->sent) != count) {
    log_.LogEvent("SendTCP Error - nie wyslano wszystkiego");
  }
}

void ClientSender::DeviceData(const std::uint8_t* bytes, std::size_t count) {
  ClientSlot* owner = ownerClient.load();
  if (owner == nullptr) return;
  if (std::shared_ptr<ClientConnection> client = owner->connection()) {
    deviceData_.Hand(std::move(client), bytes, count);
  }
}

void ClientSender::Flush() {
  if (deviceData_.Drain(kFlushLimit) > 0) log_.LogEvent("SendTCP Error - nie wyslano wszystkiego");
}

}  // namespace qs
