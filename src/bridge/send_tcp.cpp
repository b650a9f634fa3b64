// The one way bytes go to a client.
#include "bridge/send_tcp.h"

#include <string>

namespace qs {

void SendTCP(EventLog& log, platform::SocketApi& sockets, ClientSlot& slot,
             const std::uint8_t* bytes, std::size_t count) {
  const std::optional<platform::SendResult> result = slot.Send(sockets, bytes, count);
  if (!result) return;
  if (result->sent < 0) {
    log.LogEvent("SendTCP Error: " + std::to_string(result->error));
  } else if (static_cast<std::size_t>(result->sent) != count) {
    log.LogEvent("SendTCP Error - nie wyslano wszystkiego");
  }
}

}  // namespace qs
