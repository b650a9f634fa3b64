// ProcessClientData: splits a client's bytes into data for the port and ESC-framed command lines.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/client_slot.h"
#include "bridge/command_interpreter.h"
#include "log/event_log.h"
#include "serial/serial_link.h"

namespace qs {

class ClientDemux {
 public:
  // "Komenda:" and at most this much of the chunk fit the log line's 1024-byte buffer.
  static constexpr std::size_t kMaxLoggedChunk = 1015;

  ClientDemux(EventLog& log, SerialLink& serial, CommandInterpreter& interpreter)
      : log_(log), serial_(serial), interpreter_(interpreter) {}

  // One chunk from the client in sender, in order: data bytes go to the port one by one,
  // ESC ESC is one data byte ESC, ESC and anything else starts a command line that runs
  // up to its CR. The state between chunks lives in the sender's slot.
  void ProcessClientData(const std::uint8_t* data, std::size_t length, ClientSlot& sender);

  // Makes a data write in progress give up at once (from any thread), as shut-down needs.
  void InterruptWrites() { serial_.InterruptWrites(); }

 private:
  // What became of a chunk's data bytes: once the device did not take one, the rest of the
  // chunk's data is dropped at once instead of each waiting out the write time-out.
  struct ChunkData {
    bool deviceRefused = false;
    std::size_t dropped = 0;
  };

  void Process(const std::uint8_t* data, std::size_t length, ClientSlot& sender, ChunkData& chunk);
  void AddLineByte(std::uint8_t byte, ClientSlot& sender);
  // True once the block is whole and has gone to the interpreter.
  bool AddPayloadByte(std::uint8_t byte, ClientStream& stream);
  void LogCommandChunk(const std::uint8_t* data, std::size_t length);
  void WriteDataByte(std::uint8_t byte, ChunkData& chunk);

  EventLog& log_;
  SerialLink& serial_;
  CommandInterpreter& interpreter_;
};

}  // namespace qs
