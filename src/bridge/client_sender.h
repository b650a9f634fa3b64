// SendTCP and the port's data to its owner: the one way bytes reach clients.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "bridge/client_connection.h"
#include "bridge/client_slot.h"
#include "bridge/device_data_queue.h"
#include "log/event_log.h"
#include "serial/device_data_sink.h"

namespace qs {

class ClientSender final : public DeviceDataSink {
 public:
  // As long as the serial side gives a byte to go out: a client that takes no data for that
  // long costs its own data, not the thread that sends to it.
  static constexpr std::chrono::milliseconds kSendTimeout{1000};

  // Blocks of the port's data that may wait for their send while the port is read on.
  static constexpr std::size_t kQueuedBlocks = 32;
  // How long a flush waits: the send under way runs out its time-out, and a client that let
  // it run out takes the blocks behind it at once, with room for a coarse system timer.
  static constexpr std::chrono::milliseconds kFlushLimit =
      kSendTimeout + std::chrono::milliseconds(250);

  explicit ClientSender(EventLog& log);

  // Bytes to the client in slot, nothing while the slot is free. A failed send logs
  // "SendTCP Error: <number>", a short one "SendTCP Error - nie wyslano wszystkiego"; what
  // did not go is dropped, never sent later. The caller is not told.
  void SendTCP(ClientSlot& slot, const std::uint8_t* bytes, std::size_t count);

  // The port's data goes to the client in the owner's slot when it was read, if any; the
  // send itself runs on a thread of its own, in the order the blocks came.
  void DeviceData(const std::uint8_t* bytes, std::size_t count) override;
  // Waits until the port's data so far has been sent, at most kFlushLimit; what waits
  // longer is dropped with "SendTCP Error - nie wyslano wszystkiego".
  void Flush() override;

  // The slot whose client receives what the port reads; none at start.
  std::atomic<ClientSlot*> ownerClient{nullptr};

 private:
  void SendTo(ClientConnection& client, const std::uint8_t* bytes, std::size_t count,
              bool moreFollows);

  EventLog& log_;
  DeviceDataQueue deviceData_;  // last: its thread sends through the members above
};

}  // namespace qs
