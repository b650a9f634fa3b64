// SendTCP: bytes to a client slot in one send, with its two error lines; never retried.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/client_slot.h"
#include "log/event_log.h"
#include "platform/net.h"

namespace qs {

// Nothing is sent while the slot is free. A failed send logs "SendTCP Error: <number>", a
// short one "SendTCP Error - nie wyslano wszystkiego"; the caller is not told.
void SendTCP(EventLog& log, platform::SocketApi& sockets, ClientSlot& slot,
             const std::uint8_t* bytes, std::size_t count);

}  // namespace qs
