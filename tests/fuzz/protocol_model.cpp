// The client protocol worked out byte by byte: framing, command lines, keywords and their replies.
#include "protocol_model.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qs::fuzz {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kAck = 0x06;
constexpr std::int32_t kAckDevice = 108;
// A line holds at most 2047 bytes with its CR; a longer one runs nothing.
constexpr std::size_t kLongestLine = 2046;
// "Komenda:" and this much of the chunk fill the 1024-byte log line.
constexpr std::size_t kLoggedChunk = 1015;
constexpr std::size_t kBlockSize = 28;
constexpr const char* kOpenError = "Error - blad otwarcia portu COM";

constexpr std::int32_t kCtsTypes[] = {10,  22,  23,  36,  72,  85,  89,  120, 132,
                                      136, 154, 182, 208, 212, 220, 225, 227, 272};

bool IsCtsType(std::int32_t type) {
  return std::find(std::begin(kCtsTypes), std::end(kCtsTypes), type) != std::end(kCtsTypes);
}

bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal argument: blanks skipped, one sign, digits; beyond 32 bits the nearest limit.
std::int32_t Number(const std::string& text, std::size_t from) {
  std::size_t i = from;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t magnitude = 0;
  constexpr std::int64_t kFarOut = std::int64_t{1} << 40;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kFarOut);
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// The chunk as the "Komenda:" line shows it.
std::string ChunkText(const std::uint8_t* data, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length && data[i] != 0 && text.size() < kLoggedChunk; ++i) {
    text += static_cast<char>(data[i]);
  }
  return text;
}

// "baud=%lu data=%i parity=%c stop=%i" as C formats it: a NUL parity ends the text.
std::string ModeString(std::uint32_t baud, std::int32_t dataBits, char parity,
                       std::int32_t stopBits) {
  std::string mode =
      "baud=" + std::to_string(baud) + " data=" + std::to_string(dataBits) + " parity=";
  if (parity != '\0') mode += std::string(1, parity) + " stop=" + std::to_string(stopBits);
  return mode;
}

void Put32(std::array<std::uint8_t, 28>& block, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) block[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void ProtocolModel::OpenAtStartUp(const std::string& name, std::uint32_t baud,
                                  std::int32_t dataBits, char parity, std::int32_t stopBits) {
  Open(name, baud, dataBits, parity, stopBits, 10, 50, 0);
}

void ProtocolModel::Connect(int slot, std::uintptr_t socket) {
  clients_[slot] = Client{};
  clients_[slot].socket = socket;
}

void ProtocolModel::Disconnect(int slot) {
  seen_.closedSockets.push_back(clients_[slot].socket);
  clients_[slot].socket = 0;
}

void ProtocolModel::Chunk(int slot, const std::uint8_t* data, std::size_t length) {
  Client& c = clients_[slot];
  if (c.awaitingBlock) {
    // The rest of a SETDCB block; nothing else of the chunk counts.
    TakeBlockBytes(slot, data, length);
    return;
  }
  ChunkState chunk;
  std::size_t i = 0;
  while (i < length) {
    const std::uint8_t b = data[i];
    if (!c.escape || b == kEsc) {
      // Outside a line ESC opens one; right behind an ESC a second ESC is the data byte ESC.
      if (c.escape) {
        c.escape = false;
        DataByte(b, chunk);
      } else if (b == kEsc) {
        c.escape = true;
      } else {
        DataByte(b, chunk);
      }
      ++i;
      continue;
    }
    Log("Komenda:" + ChunkText(data, length));
    std::size_t end = i;
    for (; end < length && data[end] != kCr; ++end) {
      if (c.lineBytes < kLongestLine) c.line += static_cast<char>(data[end]);
      ++c.lineBytes;
    }
    if (end == length) break;  // the line goes on in this client's next chunk

    const std::string line = c.line;
    const bool fits = c.lineBytes <= kLongestLine;
    c.line.clear();
    c.lineBytes = 0;
    c.escape = false;
    if (!fits) {
      Log("Error - komenda za dluga");
    } else if (RunLine(slot, line, data + end + 1, length - end - 1)) {
      break;
    }
    i = end + 1;
  }
  if (chunk.dropped > 0) {
    Log("Error - port COM nie przyjmuje danych, pominieto " + std::to_string(chunk.dropped) +
        " bajtow");
  }
}

void ProtocolModel::DataByte(std::uint8_t byte, ChunkState& chunk) {
  if (byte == kAck && params_.deviceType == kAckDevice) return;  // only the bridge ACKs
  if (chunk.refused) {
    ++chunk.dropped;
    return;
  }
  if (!portOpen_) return;  // lost without a word
  if (writesRefused) {
    chunk.refused = true;
    ++chunk.dropped;
    return;
  }
  seen_.written.push_back(byte);
}

bool ProtocolModel::RunLine(int slot, const std::string& line, const std::uint8_t* after,
                            std::size_t left) {
  const std::string full = line + '\r';
  const std::string text = full.substr(0, full.find('\0'));  // what the keyword search sees
  std::size_t p;
  const auto has = [&](const char* keyword) { return (p = text.find(keyword)) != text.npos; };
  const auto arg = [&](std::size_t keywordLength) { return Number(text, p + keywordLength); };
  const auto byteBehind = [&](std::size_t keywordLength) { return full[p + keywordLength]; };

  if (has("BAUD=")) params_.baud = arg(5);
  if (has("DATA=")) params_.dataBits = arg(5);
  if (has("PARITY=")) params_.parity = byteBehind(7);
  if (has("STOP=")) params_.stopBits = arg(5);
  if (has("TIMEOUT1=")) params_.timeout1 = arg(9);
  if (has("TIMEOUT2=")) params_.timeout2 = arg(9);
  if (has("TIMEOUT3=")) params_.timeout3 = arg(9);
  if (has("TYP=")) params_.deviceType = arg(4);
  if (has("COM")) Reply(slot, {Com(slot, arg(3))});
  if (has("TEST")) Reply(slot, {static_cast<std::uint8_t>((alwaysOpen_ ? claimed_ : portOpen_))});
  if (has("CLOSE")) {
    if (alwaysOpen_) {
      claimed_ = false;
    } else {
      Close();
    }
    owner_ = kNoOwner;
  }
  if (has("RTS=")) {
    const bool set = byteBehind(4) != '0';
    if (portOpen_) seen_.escapes.push_back(set ? 3 : 4);
  }
  if (has("DTR=")) {
    const bool set = byteBehind(4) != '0';
    if (portOpen_) seen_.escapes.push_back(set ? 5 : 6);
  }
  if (has("MSR=?")) Reply(slot, {static_cast<std::uint8_t>(portOpen_ ? 0x30 : 0x00)});  // CTS, DSR
  if (has("DCB=?")) {
    Bytes block(kBlockSize, 0);
    if (portOpen_) std::copy(seen_.dcb.begin(), seen_.dcb.end(), block.begin());
    Reply(slot, block);
  }
  if (has("SETDCB")) {
    clients_[slot].awaitingBlock = true;
    clients_[slot].block.clear();
    TakeBlockBytes(slot, after, left);
    return true;
  }
  return false;
}

void ProtocolModel::TakeBlockBytes(int slot, const std::uint8_t* data, std::size_t length) {
  Client& c = clients_[slot];
  const std::size_t take = std::min(length, kBlockSize - c.block.size());
  c.block.insert(c.block.end(), data, data + take);
  if (c.block.size() < kBlockSize) return;
  c.awaitingBlock = false;
  if (!portOpen_) return;
  std::copy(c.block.begin(), c.block.end(), seen_.dcb.begin());
  seen_.purges = 4 | 8;  // both buffers cleared
}

std::uint8_t ProtocolModel::Com(int slot, std::int32_t number) {
  if (alwaysOpen_) {
    // A claim on the port of the settings, whatever the number.
    if (claimed_) return 1;
    claimed_ = true;
    owner_ = slot;
    return 0;
  }
  const std::string path =
      number <= 7 ? "COM" + std::to_string(number) : "\\\\.\\COM" + std::to_string(number);
  const bool opened = Open(
      path, static_cast<std::uint32_t>(params_.baud), params_.dataBits, params_.parity,
      params_.stopBits, static_cast<std::uint32_t>(params_.timeout1),
      static_cast<std::uint32_t>(params_.timeout2), static_cast<std::uint32_t>(params_.timeout3));
  if (!opened) return 1;
  owner_ = slot;
  return 0;
}

bool ProtocolModel::Open(const std::string& path, std::uint32_t baud, std::int32_t dataBits,
                         char parity, std::int32_t stopBits, std::uint32_t interval,
                         std::uint32_t constant, std::uint32_t multiplier) {
  Log(ModeString(baud, dataBits, parity, stopBits));
  // A second port is never opened beside the first.
  if (modeRefused || portOpen_) {
    Log(kOpenError);
    return false;
  }
  seen_.openedPaths.push_back(path);
  if (deviceMissing) {
    Log(kOpenError);
    return false;
  }
  portOpen_ = true;
  // The fake's mode parser gives 9600 baud, 8 bits and fBinary; the open then fixes the flags:
  // parity checking, DTR and RTS on, the error character, and CTS flow for some devices.
  seen_.dcb.fill(0);
  Put32(seen_.dcb, 0, 28);
  Put32(seen_.dcb, 4, 9600);
  Put32(seen_.dcb, 8, 0x1u | 0x1412u | (IsCtsType(params_.deviceType) ? 0x4u : 0u));
  seen_.dcb[18] = 8;
  seen_.timeouts = {interval, multiplier, constant, 0, 1000};
  Log("Serial Polling - start");
  return true;
}

void ProtocolModel::Close() {
  claimed_ = false;
  if (!portOpen_) return;
  Log("Serial Off - start");
  Log("Serial Polling - stop");
  Log("Serial Off - stop");
  portOpen_ = false;
}

void ProtocolModel::Reply(int slot, Bytes bytes) {
  const std::uintptr_t socket = clients_[slot].socket;
  if (socket == 0) return;  // nobody in the slot: nothing is sent
  const std::size_t count = bytes.size();
  seen_.sends.push_back({socket, std::move(bytes)});
  if (!nextSend) return;
  const SendOutcome outcome = *nextSend;
  nextSend.reset();
  if (outcome.sent < 0) {
    Log("SendTCP Error: " + std::to_string(outcome.error));
  } else if (static_cast<std::size_t>(outcome.sent) != count) {
    Log("SendTCP Error - nie wyslano wszystkiego");
  }
}

void ProtocolModel::DeviceSends(const std::uint8_t* data, std::size_t length) {
  if (!portOpen_) return;
  if (params_.deviceType == kAckDevice && !writesRefused) {
    for (std::size_t i = 0; i < length; ++i) {
      if (data[i] == kCr) seen_.written.push_back(kAck);
    }
  }
  if (owner_ != kNoOwner) Reply(owner_, Bytes(data, data + length));
}

}  // namespace qs::fuzz
