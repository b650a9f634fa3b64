// Helpers that read fields of the settings record safely.
#include "settings/settings.h"

#include <cstring>

namespace qs {

std::string FieldText(const char (&field)[kSettingsTextSize]) {
  const void* nul = std::memchr(field, '\0', kSettingsTextSize);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kSettingsTextSize;
  return std::string(field, length);
}

std::int32_t EffectiveTcpPort(const Settings& settings) {
  return settings.tcpPort == 0 ? kDefaultTcpPort : settings.tcpPort;
}

}  // namespace qs
