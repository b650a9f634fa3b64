// ExecuteCommand: runs the keywords of a client's command line; ApplyDcbPayload: SETDCB's block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/client_sender.h"
#include "bridge/client_slot.h"
#include "bridge/command_parameters.h"
#include "bridge/port_claim.h"
#include "serial/serial_link.h"
#include "settings/settings_store.h"

namespace qs {

class CommandInterpreter {
 public:
  CommandInterpreter(const SettingsStore& settings, SerialLink& serial, PortClaim& claim,
                     CommandParameters& parameters, ClientSender& sender)
      : settings_(settings),
        serial_(serial),
        claim_(claim),
        parameters_(parameters),
        sender_(sender) {}

  // What a line asks of the framing of its client's stream.
  enum class Follows {
    kData,        // the stream goes on behind the CR as before
    kDcbPayload,  // SETDCB: the 28 bytes behind the CR are its block, for ApplyDcbPayload;
                  // whatever else the chunk that ends the block holds is dropped with it
  };

  // Runs the keywords of one whole command line from sender, its CR included.
  Follows ExecuteCommand(const std::string& line, ClientSlot& sender);

  // SETDCB's block, once all 28 bytes came: put on the open port, if any, whose buffers
  // are then cleared.
  void ApplyDcbPayload(const DcbPayload& payload);

 private:
  std::uint8_t OpenOrClaim(std::int32_t portNumber, bool alwaysOpen, ClientSlot& sender);
  void DriveLine(int level, int setFunction, int clearFunction);
  void Reply(ClientSlot& sender, const std::uint8_t* bytes, std::size_t count);

  const SettingsStore& settings_;
  SerialLink& serial_;
  PortClaim& claim_;
  CommandParameters& parameters_;
  ClientSender& sender_;
  int rtsState_ = 1;
  int dtrState_ = 1;
};

}  // namespace qs
