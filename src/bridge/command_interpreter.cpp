// The 17 keywords of a command line, run in their fixed order.
#include "bridge/command_interpreter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/comm.h"
#include "serial/port_config.h"

namespace qs {
namespace {

constexpr std::uint8_t kCarriageReturn = 0x0D;

// Where a keyword stands in the line (up to its first NUL), or npos.
std::size_t Find(const std::string& text, const char* keyword) {
  return text.find(keyword);
}

}  // namespace

int CommandInterpreter::ExecuteCommand(const std::uint8_t* data, std::size_t length,
                                       std::size_t& position, ClientSlot& sender) {
  ClientStream& stream = sender.stream();
  for (; position < length; ++position) {
    const std::uint8_t byte = data[position];
    // The buffer keeps its last place for the CR, so a line that ends in time fits whole.
    if (stream.commandLine.size() < ClientStream::kMaxCommandLine - 1 ||
        (byte == kCarriageReturn && stream.commandLine.size() < ClientStream::kMaxCommandLine)) {
      stream.commandLine.push_back(static_cast<char>(byte));
    } else {
      stream.lineTooLong = true;
    }
    if (byte != kCarriageReturn) continue;

    const std::string line = std::move(stream.commandLine);
    const bool tooLong = stream.lineTooLong;
    stream.commandLine.clear();
    stream.lineTooLong = false;
    // A line that did not fit runs nothing: its tail, keywords and all, is gone.
    if (tooLong) {
      log_.LogEvent("Error - komenda za dluga");
    } else {
      Execute(line, data, length, position, sender);
    }
    return 0;
  }
  return 1;
}

void CommandInterpreter::Execute(const std::string& line, const std::uint8_t* data,
                                 std::size_t length, std::size_t& position, ClientSlot& sender) {
  // A NUL that the client sent hides everything behind it from the keyword search.
  const std::string text = line.substr(0, line.find('\0'));
  const auto number = [&](std::size_t at, std::size_t keywordLength) {
    return ParseDecimal(text.c_str() + at + keywordLength);
  };
  // The byte behind "=": at the end of the line that is the CR itself.
  const auto byteAfter = [&](std::size_t at, std::size_t keywordLength) {
    const std::size_t index = at + keywordLength;
    return index < line.size() ? line[index] : '\0';
  };

  std::size_t at;
  if ((at = Find(text, "BAUD=")) != std::string::npos) parameters_.requestedBaud = number(at, 5);
  if ((at = Find(text, "DATA=")) != std::string::npos) {
    parameters_.requestedDataBits = number(at, 5);
  }
  if ((at = Find(text, "PARITY=")) != std::string::npos) {
    parameters_.requestedParity = byteAfter(at, 7);
  }
  if ((at = Find(text, "STOP=")) != std::string::npos) {
    parameters_.requestedStopBits = number(at, 5);
  }
  if ((at = Find(text, "TIMEOUT1=")) != std::string::npos) parameters_.timeout1 = number(at, 9);
  if ((at = Find(text, "TIMEOUT2=")) != std::string::npos) parameters_.timeout2 = number(at, 9);
  if ((at = Find(text, "TIMEOUT3=")) != std::string::npos) parameters_.timeout3 = number(at, 9);
  if ((at = Find(text, "TYP=")) != std::string::npos) serial_.SetDeviceType(number(at, 4));

  const bool alwaysOpen = settings_.Snapshot().portAlwaysOpen != 0;
  if ((at = Find(text, "COM")) != std::string::npos) {
    const std::uint8_t status = OpenOrClaim(number(at, 3), alwaysOpen, sender);
    Reply(sender, &status, 1);
  }
  if (Find(text, "TEST") != std::string::npos) {
    const bool inUse = alwaysOpen ? claim_.portClaimed.load() : serial_.IsOpen();
    const std::uint8_t status = inUse ? 1 : 0;
    Reply(sender, &status, 1);
  }
  if (Find(text, "CLOSE") != std::string::npos) {
    if (alwaysOpen) {
      claim_.portClaimed.store(false);
    } else {
      serial_.CloseSerialPort();
    }
    sender_.ownerClient.store(nullptr);
  }
  // "KILL" asks nothing of anybody: no client can end the program.
  if ((at = Find(text, "RTS=")) != std::string::npos) {
    rtsState_ = byteAfter(at, 4) == '0' ? 0 : 1;
    DriveLine(rtsState_, platform::kSetRts, platform::kClrRts);
  }
  if ((at = Find(text, "DTR=")) != std::string::npos) {
    dtrState_ = byteAfter(at, 4) == '0' ? 0 : 1;
    DriveLine(dtrState_, platform::kSetDtr, platform::kClrDtr);
  }
  if (Find(text, "MSR=?") != std::string::npos) {
    std::uint32_t status = 0;
    const auto port = serial_.Port();
    if (!port || !port->GetModemStatus(status)) status = 0;
    const auto low = static_cast<std::uint8_t>(status & 0xFF);
    Reply(sender, &low, 1);
  }
  if (Find(text, "DCB=?") != std::string::npos) {
    platform::Dcb dcb{};
    const auto port = serial_.Port();
    if (!port || !port->GetState(dcb)) dcb = platform::Dcb{};
    std::array<std::uint8_t, platform::kDcbSize> image{};
    std::memcpy(image.data(), &dcb, image.size());
    Reply(sender, image.data(), image.size());
  }
  if (Find(text, "SETDCB") != std::string::npos) {
    // The block is the 28 bytes behind the CR; whatever else the chunk holds is dropped.
    ClientStream& stream = sender.stream();
    stream.awaitingDcb = true;
    stream.dcbPayloadSize = 0;
    ContinueSetDcb(data + position + 1, length - position - 1, sender);
    position = length;
  }
}

std::uint8_t CommandInterpreter::OpenOrClaim(std::int32_t portNumber, bool alwaysOpen,
                                             ClientSlot& sender) {
  if (alwaysOpen) {
    // The claim is on the port of the settings, whatever number the client gave.
    bool expected = false;
    if (!claim_.portClaimed.compare_exchange_strong(expected, true)) return 1;
    sender_.ownerClient.store(&sender);
    return 0;
  }
  std::string name = portNumber <= 7 ? "COM" + std::to_string(portNumber)
                                     : "\\\\.\\COM" + std::to_string(portNumber);
  const int result = serial_.OpenSerialPort(
      name, static_cast<std::uint32_t>(parameters_.requestedBaud), parameters_.requestedDataBits,
      parameters_.requestedParity, parameters_.requestedStopBits,
      static_cast<std::uint32_t>(parameters_.timeout1),
      static_cast<std::uint32_t>(parameters_.timeout2),
      static_cast<std::uint32_t>(parameters_.timeout3));
  if (result != 0) return 1;
  sender_.ownerClient.store(&sender);
  return 0;
}

void CommandInterpreter::DriveLine(int level, int setFunction, int clearFunction) {
  if (const auto port = serial_.Port()) port->EscapeFunction(level ? setFunction : clearFunction);
}

void CommandInterpreter::ContinueSetDcb(const std::uint8_t* data, std::size_t length,
                                        ClientSlot& sender) {
  ClientStream& stream = sender.stream();
  const std::size_t take = std::min(length, ClientStream::kDcbPayloadSize - stream.dcbPayloadSize);
  std::copy_n(data, take,
              stream.dcbPayload.begin() + static_cast<std::ptrdiff_t>(stream.dcbPayloadSize));
  stream.dcbPayloadSize += take;
  if (stream.dcbPayloadSize < ClientStream::kDcbPayloadSize) return;
  stream.awaitingDcb = false;
  ApplyDcb(stream);
}

void CommandInterpreter::ApplyDcb(const ClientStream& stream) {
  const auto port = serial_.Port();
  if (!port) return;
  platform::Dcb dcb{};
  std::memcpy(&dcb, stream.dcbPayload.data(), sizeof dcb);
  port->SetState(dcb);
  port->Purge(platform::kPurgeTxClear | platform::kPurgeRxClear);
}

void CommandInterpreter::Reply(ClientSlot& sender, const std::uint8_t* bytes, std::size_t count) {
  sender_.SendTCP(sender, bytes, count);
}

}  // namespace qs
