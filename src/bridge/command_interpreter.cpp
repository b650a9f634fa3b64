// The 17 keywords of a command line, run in their fixed order.
//
// The interpreter gets whole lines (CR included) and whole SETDCB blocks from ClientDemux,
// which owns each client's framing; it knows nothing of chunks. What a line asks of that
// framing comes back as ExecuteCommand's result: SETDCB asks for the block behind the line.
#include "bridge/command_interpreter.h"

#include <array>
#include <cstring>
#include <string_view>

#include "platform/comm.h"
#include "platform/common/decimal_text.h"
#include "serial/port_config.h"

namespace qs {
namespace {

// Where a keyword stands in the line (up to its first NUL), or npos.
std::size_t Find(const std::string& text, const char* keyword) {
  return text.find(keyword);
}

}  // namespace

CommandInterpreter::Follows CommandInterpreter::ExecuteCommand(const std::string& line,
                                                               ClientSlot& sender) {
  // A NUL that the client sent hides everything behind it from the keyword search.
  const std::string text = line.substr(0, line.find('\0'));
  const auto number = [&](std::size_t at, std::size_t keywordLength) {
    return platform::ParseAtoiClamped(std::string_view(text).substr(at + keywordLength));
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
  // The last keyword: its block comes behind the line, and the framing collects it.
  if (Find(text, "SETDCB") != std::string::npos) return Follows::kDcbPayload;
  return Follows::kData;
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

void CommandInterpreter::ApplyDcbPayload(const DcbPayload& payload) {
  static_assert(sizeof(platform::Dcb) == std::tuple_size_v<DcbPayload>);
  const auto port = serial_.Port();
  if (!port) return;
  platform::Dcb dcb{};
  std::memcpy(&dcb, payload.data(), sizeof dcb);
  port->SetState(dcb);
  port->Purge(platform::kPurgeTxClear | platform::kPurgeRxClear);
}

void CommandInterpreter::Reply(ClientSlot& sender, const std::uint8_t* bytes, std::size_t count) {
  sender_.SendTCP(sender, bytes, count);
}

}  // namespace qs
