// Console seam: the standard error stream, and settings texts as a console shows and types them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qs::platform {

// Writes the text to the standard error stream. A stream that takes nothing (a full pipe
// nobody reads) holds the caller a second at most; what did not fit then is dropped.
void WriteToStandardError(std::string_view text);

// A settings text (its bytes, code page 1250) as the console shows it.
std::string SettingsTextToConsole(std::string_view bytes);

// Text from the console (an argument) as the bytes of a settings text; nothing when it holds
// a character that the settings cannot.
std::optional<std::string> SettingsTextFromConsole(std::string_view text);

}  // namespace qs::platform
