// The framing of the client protocol.
#include "bridge/client_demux.h"

#include <cstring>
#include <string>

#include "serial/port_config.h"

namespace qs {
namespace {

constexpr std::uint8_t kEscape = 0x1B;
constexpr std::uint8_t kAck = 0x06;

}  // namespace

void ClientDemux::ProcessClientData(const std::uint8_t* data, std::size_t length,
                                    ClientSlot& sender) {
  ChunkData chunk;
  Process(data, length, sender, chunk);
  if (chunk.dropped > 0) {
    log_.LogEvent("Error - port COM nie przyjmuje danych, pominieto " +
                  std::to_string(chunk.dropped) + " bajtow");
  }
}

void ClientDemux::Process(const std::uint8_t* data, std::size_t length, ClientSlot& sender,
                          ChunkData& chunk) {
  ClientStream& stream = sender.stream();
  if (stream.awaitingDcb) {
    // The rest of a SETDCB block; what follows it in this chunk is dropped with it.
    interpreter_.ContinueSetDcb(data, length, sender);
    return;
  }
  for (std::size_t position = 0; position < length; ++position) {
    const std::uint8_t byte = data[position];
    if (!stream.escapePending) {
      if (byte == kEscape) {
        stream.escapePending = true;
      } else {
        WriteDataByte(byte, chunk);
      }
      continue;
    }
    if (byte == kEscape) {
      stream.escapePending = false;
      WriteDataByte(byte, chunk);
      continue;
    }
    // A command line starts or goes on here; the log shows the whole chunk, once per command.
    LogCommandChunk(data, length);
    if (interpreter_.ExecuteCommand(data, length, position, sender) != 0) return;
    stream.escapePending = false;
  }
}

void ClientDemux::LogCommandChunk(const std::uint8_t* data, std::size_t length) {
  const void* nul = std::memchr(data, 0, length);
  std::size_t shown =
      nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : length;
  if (shown > kMaxLoggedChunk) shown = kMaxLoggedChunk;
  log_.LogEvent("Komenda:" + std::string(reinterpret_cast<const char*>(data), shown));
}

void ClientDemux::WriteDataByte(std::uint8_t byte, ChunkData& chunk) {
  // Devices that get an ACK from the bridge after each CR must never get one from a client.
  if (byte == kAck && serial_.DeviceType() == kAckDeviceType) return;
  // A device that holds its line would otherwise keep this thread, and with it every
  // client and shut-down, for a write time-out per byte.
  if (chunk.deviceRefused) {
    ++chunk.dropped;
    return;
  }
  if (serial_.WriteSerialByte(byte) == SerialLink::WriteResult::kNotTaken) {
    chunk.deviceRefused = true;
    ++chunk.dropped;
  }
}

}  // namespace qs
