// SendTCP and the port's data to its owner: the one way bytes reach clients.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "bridge/client_slot.h"
#include "log/event_log.h"
#include "serial/device_data_sink.h"

namespace qs {

class ClientSender final : public DeviceDataSink {
 public:
  // As long as the serial side gives a byte to go out: a client that takes no data for that
  // long costs its own data, not the thread that sends to it.
  static constexpr std::chrono::milliseconds kSendTimeout{1000};

  explicit ClientSender(EventLog& log) : log_(log) {}

  // Bytes to the client in slot, nothing while the slot is free. A failed send logs
  // "SendTCP Error: <number>", a short one "SendTCP Error - nie wyslano wszystkiego"; what
  // did not go is dropped, never sent later. The caller is not told.
  void SendTCP(ClientSlot& slot, const std::uint8_t* bytes, std::size_t count);

  // The port's data goes to the client in the owner's slot, if any.
  void DeviceData(const std::uint8_t* bytes, std::size_t count) override;

  // The slot whose client receives what the port reads; none at start.
  std::atomic<ClientSlot*> ownerClient{nullptr};

 private:
  EventLog& log_;
};

}  // namespace qs
