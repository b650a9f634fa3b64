// The record's fields as texts: the dialog's read-back rules, and the tool's strict variant.
#include "settings/settings_fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/common/decimal_text.h"

namespace qs {
namespace {

constexpr std::uint32_t kLargestTcpPort = 65535;

std::string ShowText(const char (&field)[kSettingsTextSize]) {
  return FieldText(field);
}

std::string SetText(char (&field)[kSettingsTextSize], std::string_view value) {
  if (value.size() > kSettingsTextSize - 1) {
    return std::to_string(value.size()) + " bytes long; its field holds at most " +
           std::to_string(kSettingsTextSize - 1);
  }
  StoreFieldText(field, value);
  return {};
}

// A number within [0, largest], or why not.
std::string ReadNumber(std::string_view value, std::uint32_t largest, std::uint32_t& number) {
  const UnsignedReading reading = ReadUnsignedText(value);
  if (reading.tooLarge || (reading.value && *reading.value > largest)) {
    return "out of range (0 to " + std::to_string(largest) + ")";
  }
  if (!reading.value) return "not a number (decimal digits only)";
  number = *reading.value;
  return {};
}

template <typename Field>
std::string SetNumber(Field& field, std::string_view value, std::uint32_t largest) {
  std::uint32_t number = 0;
  std::string refused = ReadNumber(value, largest, number);
  // As the dialog stores them: the 32-bit pattern, negative above 2147483647.
  if (refused.empty()) field = static_cast<Field>(number);
  return refused;
}

// A choice between the values of a group of radio buttons.
std::string SetChoice(std::int32_t& field, std::string_view value, std::int32_t first,
                      std::int32_t second) {
  if (value == std::to_string(first)) {
    field = first;
  } else if (value == std::to_string(second)) {
    field = second;
  } else {
    return "must be " + std::to_string(first) + " or " + std::to_string(second);
  }
  return {};
}

std::string ShowParity(const Settings& s) {
  if (s.parity == 'N' || s.parity == 'E' || s.parity == 'O') return std::string(1, s.parity);
  // A byte none of the buttons stands for (0 in a new record), as its value.
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(s.parity));
  return hex;
}

std::string SetParity(Settings& s, std::string_view value) {
  if (value.size() == 1) {
    const char letter =
        value[0] >= 'a' && value[0] <= 'z' ? static_cast<char>(value[0] - 32) : value[0];
    if (letter == 'N' || letter == 'E' || letter == 'O') {
      s.parity = letter;
      return {};
    }
  }
  return "must be N, E or O";
}

const std::array<SettingsField, 9> kFields = {{
    {"portName", true, [](const Settings& s) { return ShowText(s.portName); },
     [](Settings& s, std::string_view v) { return SetText(s.portName, v); }},
    {"baudRate", false, [](const Settings& s) { return std::to_string(s.baudRate); },
     [](Settings& s, std::string_view v) { return SetNumber(s.baudRate, v, UINT32_MAX); }},
    {"portAlwaysOpen", false, [](const Settings& s) { return std::to_string(s.portAlwaysOpen); },
     [](Settings& s, std::string_view v) { return SetChoice(s.portAlwaysOpen, v, 0, 1); }},
    {"parity", false, ShowParity, SetParity},
    {"stopBits", false, [](const Settings& s) { return std::to_string(s.stopBits); },
     [](Settings& s, std::string_view v) { return SetChoice(s.stopBits, v, 1, 2); }},
    {"dataBits", false, [](const Settings& s) { return std::to_string(s.dataBits); },
     [](Settings& s, std::string_view v) { return SetChoice(s.dataBits, v, 7, 8); }},
    {"logFilePath", true, [](const Settings& s) { return ShowText(s.logFilePath); },
     [](Settings& s, std::string_view v) { return SetText(s.logFilePath, v); }},
    // The server refuses a port beyond 16 bits, so the tool does not store one.
    {"tcpPort", false, [](const Settings& s) { return UnsignedText(s.tcpPort); },
     [](Settings& s, std::string_view v) { return SetNumber(s.tcpPort, v, kLargestTcpPort); }},
    {"autoDisconnectSeconds", false,
     [](const Settings& s) { return UnsignedText(s.autoDisconnectSeconds); },
     [](Settings& s, std::string_view v) {
       return SetNumber(s.autoDisconnectSeconds, v, UINT32_MAX);
     }},
}};

}  // namespace

void StoreFieldText(char (&field)[kSettingsTextSize], std::string_view text) {
  const std::size_t length = std::min(text.size(), kSettingsTextSize - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

UnsignedReading ReadUnsignedText(std::string_view text) {
  const std::size_t at = text.find_first_not_of(' ');
  if (at == std::string_view::npos) return {};
  bool overflowed = false;
  const std::optional<std::uint32_t> value =
      platform::ParseDigitsSaturating(text.substr(at), &overflowed);
  if (value && overflowed) return {std::nullopt, true};
  return {value, false};
}

std::string UnsignedText(std::int32_t value) {
  return std::to_string(static_cast<std::uint32_t>(value));
}

const std::array<SettingsField, 9>& SettingsFields() {
  return kFields;
}

const SettingsField* FindSettingsField(std::string_view name) {
  for (const SettingsField& field : kFields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

}  // namespace qs
