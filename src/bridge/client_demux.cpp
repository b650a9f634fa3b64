// The framing of the client protocol: one state machine per client, fed a chunk at a time.
//
// ClientStream::State says what the next byte of the client's stream is:
//   kData         a data byte, or ESC -> kEscapeSeen
//   kEscapeSeen   ESC: a data byte ESC -> kData; anything else: the chunk is logged once
//                 ("Komenda:") and the byte starts the line -> kCommandLine
//   kCommandLine  a byte of the line; its CR ends it -> kData, and the interpreter runs it.
//                 A line that asks for SETDCB's block -> kDcbPayload
//   kDcbPayload   a byte of the 28-byte block; with the last one the block goes to the
//                 interpreter -> kData, and the rest of that chunk is dropped
// A chunk that ends inside a line leaves it open as if its ESC had just come: the next chunk
// goes on with the line (logged again), unless it opens with ESC, a data byte ESC. The
// interpreter sees only whole lines and whole blocks; no chunk crosses to it.
#include "bridge/client_demux.h"

#include <cstring>
#include <string>

#include "serial/port_config.h"

namespace qs {
namespace {

using State = ClientStream::State;

constexpr std::uint8_t kEscape = 0x1B;

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
  // A line left open by the last chunk waits here as if its ESC had just come.
  if (stream.state == State::kCommandLine) stream.state = State::kEscapeSeen;
  for (std::size_t position = 0; position < length; ++position) {
    const std::uint8_t byte = data[position];
    switch (stream.state) {
      case State::kData:
        if (byte == kEscape) {
          stream.state = State::kEscapeSeen;
        } else {
          WriteDataByte(byte, chunk);
        }
        break;
      case State::kEscapeSeen:
        if (byte == kEscape) {
          stream.state = State::kData;
          WriteDataByte(byte, chunk);
          break;
        }
        // A command line starts or goes on here; the log shows the whole chunk, once per command.
        LogCommandChunk(data, length);
        stream.state = State::kCommandLine;
        AddLineByte(byte, sender);
        break;
      case State::kCommandLine:
        AddLineByte(byte, sender);
        break;
      case State::kDcbPayload:
        // The block ends its chunk: whatever else the chunk holds is dropped with it.
        if (AddPayloadByte(byte, stream)) return;
        break;
    }
  }
}

void ClientDemux::AddLineByte(std::uint8_t byte, ClientSlot& sender) {
  ClientStream& stream = sender.stream();
  // The buffer keeps its last place for the CR, so a line that ends in time fits whole.
  if (stream.commandLine.size() < ClientStream::kMaxCommandLine - 1 ||
      (byte == kCarriageReturn && stream.commandLine.size() < ClientStream::kMaxCommandLine)) {
    stream.commandLine.push_back(static_cast<char>(byte));
  } else {
    stream.lineTooLong = true;
  }
  if (byte != kCarriageReturn) return;

  const std::string line = std::move(stream.commandLine);
  const bool tooLong = stream.lineTooLong;
  stream.commandLine.clear();
  stream.lineTooLong = false;
  stream.state = State::kData;
  // A line that did not fit runs nothing: its tail, keywords and all, is gone.
  if (tooLong) {
    log_.LogEvent("Error - komenda za dluga");
    return;
  }
  if (interpreter_.ExecuteCommand(line, sender) == CommandInterpreter::Follows::kDcbPayload) {
    stream.state = State::kDcbPayload;
    stream.dcbPayloadSize = 0;
  }
}

bool ClientDemux::AddPayloadByte(std::uint8_t byte, ClientStream& stream) {
  stream.dcbPayload[stream.dcbPayloadSize++] = byte;
  if (stream.dcbPayloadSize < ClientStream::kDcbPayloadSize) return false;
  stream.state = State::kData;
  interpreter_.ApplyDcbPayload(stream.dcbPayload);
  return true;
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
