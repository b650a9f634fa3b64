// The mode-string grammar of Win32's BuildCommDCB: "baud=9600 parity=n data=8 stop=1" and the
// old "9600,n,8,1" form, with an optional "COMn:" in front.
#include "platform/common/mode_string.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/common/decimal_text.h"

namespace qs::platform {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

void SkipSpaces(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
}

std::optional<std::uint8_t> ParseParity(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (Lower(text.front())) {
    case 'n':
      return std::uint8_t{0};
    case 'o':
      return std::uint8_t{1};
    case 'e':
      return std::uint8_t{2};
    case 'm':
      return std::uint8_t{3};
    case 's':
      return std::uint8_t{4};
    default:
      return std::nullopt;
  }
}

std::optional<std::uint8_t> ParseDataBits(std::string_view text) {
  const auto bits = ParseDigitsSaturating(text);
  if (!bits || *bits < 5 || *bits > 8) return std::nullopt;
  return static_cast<std::uint8_t>(*bits);
}

std::optional<std::uint8_t> ParseStopBits(std::string_view text) {
  if (text == "1.5") return kOne5StopBits;
  const auto bits = ParseDigitsSaturating(text);
  if (!bits) return std::nullopt;
  if (*bits == 1) return kOneStopBit;
  if (*bits == 2) return kTwoStopBits;
  return std::nullopt;
}

std::optional<bool> ParseOnOff(std::string_view text) {
  if (EqualsNoCase(text, "on")) return true;
  if (EqualsNoCase(text, "off")) return false;
  return std::nullopt;
}

void SetFlag(Dcb& dcb, std::uint32_t bit, bool on) {
  dcb.flags = on ? (dcb.flags | bit) : (dcb.flags & ~bit);
}

void SetField(Dcb& dcb, std::uint32_t mask, std::uint32_t shift, std::uint32_t value) {
  dcb.flags = (dcb.flags & ~mask) | (value << shift);
}

// "COMn" followed by ':' or a space, and any spaces after it. False when the text starts
// like a device name but is not a valid one.
bool SkipDevicePrefix(std::string_view& text) {
  if (!StartsWithNoCase(text, "com") || text.size() < 4 || !IsDigit(text[3])) return true;
  std::size_t end = 3;
  while (end < text.size() && IsDigit(text[end])) ++end;
  if (text[3] == '0') return false;  // COM0 and leading zeros name no device
  if (end >= text.size() || (text[end] != ':' && text[end] != ' ')) return false;
  text.remove_prefix(end + 1);
  SkipSpaces(text);
  return true;
}

// The old DOS form: baud,parity,data,stop[,x|p]. Spaces may surround every field.
bool ParseOldForm(std::string_view text, Dcb& dcb) {
  std::string_view fields[5];
  std::size_t count = 0;
  while (true) {
    if (count == 5) return false;
    const std::size_t comma = text.find(',');
    std::string_view field = text.substr(0, comma);
    SkipSpaces(field);
    while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
    fields[count++] = field;
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (count < 4) return false;

  auto baud = ParseDigitsSaturating(fields[0]);
  const auto parity = ParseParity(fields[1]);
  const auto data = ParseDataBits(fields[2]);
  const auto stop = ParseStopBits(fields[3]);
  if (!baud || !parity || !data || !stop) return false;

  // Two digits stand for the rates of the old MODE command.
  switch (*baud) {
    case 11:
      baud = 110;
      break;
    case 15:
      baud = 150;
      break;
    case 30:
      baud = 300;
      break;
    case 60:
      baud = 600;
      break;
    case 12:
      baud = 1200;
      break;
    case 24:
      baud = 2400;
      break;
    case 48:
      baud = 4800;
      break;
    case 96:
      baud = 9600;
      break;
    case 19:
      baud = 19200;
      break;
    default:
      break;
  }

  // The last field picks the flow control; without it flow control is off and DTR and RTS
  // are simply raised.
  std::uint32_t dtr = 1;
  std::uint32_t rts = 1;
  bool xonXoff = false;
  bool hardware = false;
  if (count == 5 && !fields[4].empty()) {
    if (EqualsNoCase(fields[4], "x")) {
      xonXoff = true;
    } else if (EqualsNoCase(fields[4], "p")) {
      hardware = true;
      dtr = 2;
      rts = 2;
    } else {
      return false;
    }
  }

  dcb.BaudRate = *baud;
  dcb.Parity = *parity;
  dcb.ByteSize = *data;
  dcb.StopBits = *stop;
  SetFlag(dcb, kDcbOutX, xonXoff);
  SetFlag(dcb, kDcbInX, xonXoff);
  SetFlag(dcb, kDcbOutxCtsFlow, hardware);
  SetFlag(dcb, kDcbOutxDsrFlow, hardware);
  SetField(dcb, kDcbDtrControlMask, kDcbDtrControlShift, dtr);
  SetField(dcb, kDcbRtsControlMask, kDcbRtsControlShift, rts);
  return true;
}

// The new form: key=value pairs, parsed into a copy so a refused string changes nothing.
bool ParseNewForm(std::string_view text, Dcb& dcb, CommTimeouts& timeouts) {
  Dcb result = dcb;
  std::optional<bool> timeoutsOn;
  bool stopGiven = false;
  bool baud110 = false;

  while (!text.empty()) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view key = text.substr(0, equals);
    text.remove_prefix(equals + 1);
    const std::size_t space = text.find(' ');
    const std::string_view value = text.substr(0, space);
    if (space == std::string_view::npos) {
      text = {};
    } else {
      text.remove_prefix(space);
      SkipSpaces(text);
      if (text.empty()) return false;  // a trailing space
    }

    if (EqualsNoCase(key, "baud")) {
      const auto baud = ParseDigitsSaturating(value);
      if (!baud) return false;
      result.BaudRate = *baud;
      baud110 = *baud == 110;
    } else if (EqualsNoCase(key, "parity")) {
      const auto parity = ParseParity(value);
      if (!parity) return false;
      result.Parity = *parity;
    } else if (EqualsNoCase(key, "data")) {
      const auto data = ParseDataBits(value);
      if (!data) return false;
      result.ByteSize = *data;
    } else if (EqualsNoCase(key, "stop")) {
      const auto stop = ParseStopBits(value);
      if (!stop) return false;
      result.StopBits = *stop;
      stopGiven = true;
    } else if (EqualsNoCase(key, "dtr")) {
      std::uint32_t dtr = 0;
      if (EqualsNoCase(value, "hs")) {
        dtr = 2;
      } else if (const auto on = ParseOnOff(value)) {
        dtr = *on ? 1 : 0;
      } else {
        return false;
      }
      SetField(result, kDcbDtrControlMask, kDcbDtrControlShift, dtr);
    } else if (EqualsNoCase(key, "rts")) {
      std::uint32_t rts = 0;
      if (EqualsNoCase(value, "hs")) {
        rts = 2;
      } else if (EqualsNoCase(value, "tg")) {
        rts = 3;
      } else if (const auto on = ParseOnOff(value)) {
        rts = *on ? 1 : 0;
      } else {
        return false;
      }
      SetField(result, kDcbRtsControlMask, kDcbRtsControlShift, rts);
    } else {
      const auto on = ParseOnOff(value);
      if (!on) return false;
      if (EqualsNoCase(key, "to")) {
        timeoutsOn = *on;
      } else if (EqualsNoCase(key, "xon")) {
        SetFlag(result, kDcbOutX, *on);
        SetFlag(result, kDcbInX, *on);
      } else if (EqualsNoCase(key, "odsr")) {
        SetFlag(result, kDcbOutxDsrFlow, *on);
      } else if (EqualsNoCase(key, "octs")) {
        SetFlag(result, kDcbOutxCtsFlow, *on);
      } else if (EqualsNoCase(key, "idsr")) {
        SetFlag(result, kDcbDsrSensitivity, *on);
      } else {
        return false;
      }
    }
  }

  // The MODE command's habit: one stop bit unless asked, two at 110 baud.
  if (!stopGiven) result.StopBits = baud110 ? kTwoStopBits : kOneStopBit;

  dcb = result;
  if (timeoutsOn) {
    // "to=on" is a one-minute write time-out and nothing else; "to=off" no time-outs at all.
    timeouts = CommTimeouts{};
    if (*timeoutsOn) timeouts.WriteTotalTimeoutConstant = 60000;
  }
  return true;
}

}  // namespace

bool ParseModeString(const std::string& mode, Dcb& dcb, CommTimeouts& timeouts) {
  std::string_view text = mode;
  if (!text.empty() && text.front() == ' ') return false;
  if (!SkipDevicePrefix(text)) return false;
  if (text.find(',') != std::string_view::npos) {
    Dcb result = dcb;
    if (!ParseOldForm(text, result)) return false;
    dcb = result;
    return true;
  }
  return ParseNewForm(text, dcb, timeouts);
}

}  // namespace qs::platform
