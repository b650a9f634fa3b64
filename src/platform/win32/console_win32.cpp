// The console on Windows: stderr as a C stream; texts already in the ANSI code page.
#include <cstdio>

#include "platform/console.h"

namespace qs::platform {

void WriteToStandardError(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

std::string SettingsTextToConsole(std::string_view bytes) {
  return std::string(bytes);
}

std::optional<std::string> SettingsTextFromConsole(std::string_view text) {
  return std::string(text);
}

}  // namespace qs::platform
