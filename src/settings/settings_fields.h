// The settings record's fields by name, with the settings dialog's conversions to and from text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace qs {

// A text box's text into a text field: at most 99 bytes and the NUL, longer text is cut;
// bytes behind the NUL keep what the field held.
void StoreFieldText(char (&field)[kSettingsTextSize], std::string_view text);

// A number box's text as an unsigned 32-bit number: blanks in front are skipped, then only
// decimal digits may follow. No value for an empty text or any other character; no value
// and tooLarge for a number above 4294967295.
struct UnsignedReading {
  std::optional<std::uint32_t> value;
  bool tooLarge = false;
};
UnsignedReading ReadUnsignedText(std::string_view text);

// A signed field as a number box shows it: its unsigned 32-bit equivalent (-1 shows as
// 4294967295).
std::string UnsignedText(std::int32_t value);

// One field for the settings tool: its name (the record's), how it shows, and how a value
// is set, strictly: where the dialog would quietly store 0 or cut a text, this refuses.
struct SettingsField {
  const char* name;
  bool isText;  // shown and set as the record's bytes (code page 1250)
  std::string (*show)(const Settings& settings);
  // Empty when the value went in; otherwise why it was refused, the record untouched.
  std::string (*set)(Settings& settings, std::string_view value);
};

// Every field, in the record's order.
const std::array<SettingsField, 9>& SettingsFields();
const SettingsField* FindSettingsField(std::string_view name);

}  // namespace qs
