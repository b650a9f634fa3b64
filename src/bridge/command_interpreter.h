// ExecuteCommand: collects a client's command line up to its CR and runs its keywords.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/client_sender.h"
#include "bridge/client_slot.h"
#include "bridge/command_parameters.h"
#include "bridge/port_claim.h"
#include "log/event_log.h"
#include "serial/serial_link.h"
#include "settings/settings_store.h"

namespace qs {

class CommandInterpreter {
 public:
  CommandInterpreter(EventLog& log, const SettingsStore& settings, SerialLink& serial,
                     PortClaim& claim, CommandParameters& parameters, ClientSender& sender)
      : log_(log),
        settings_(settings),
        serial_(serial),
        claim_(claim),
        parameters_(parameters),
        sender_(sender) {}

  // Takes bytes of the chunk from position into the sender's command line. 0 when a CR in
  // this chunk ended the line and it ran: position is then on that CR, or at length when
  // SETDCB took the rest of the chunk. 1 when the chunk ended first (position == length).
  int ExecuteCommand(const std::uint8_t* data, std::size_t length, std::size_t& position,
                     ClientSlot& sender);

  // Feeds a SETDCB that waits for its payload with bytes from the sender; once 28 have
  // come the block is applied (to the open port, if any) and the stream stops waiting.
  void ContinueSetDcb(const std::uint8_t* data, std::size_t length, ClientSlot& sender);

 private:
  void Execute(const std::string& line, const std::uint8_t* data, std::size_t length,
               std::size_t& position, ClientSlot& sender);
  std::uint8_t OpenOrClaim(std::int32_t portNumber, bool alwaysOpen, ClientSlot& sender);
  void DriveLine(int level, int setFunction, int clearFunction);
  void ApplyDcb(const ClientStream& stream);
  void Reply(ClientSlot& sender, const std::uint8_t* bytes, std::size_t count);

  EventLog& log_;
  const SettingsStore& settings_;
  SerialLink& serial_;
  PortClaim& claim_;
  CommandParameters& parameters_;
  ClientSender& sender_;
  int rtsState_ = 1;
  int dtrState_ = 1;
};

}  // namespace qs
