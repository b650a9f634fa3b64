// The 236-byte settings record: the same bytes in memory and in "setuplite.dat".
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qs {

inline constexpr std::size_t kSettingsTextSize = 100;

struct Settings {
  char portName[kSettingsTextSize];     // serial port opened in always-open mode; "" = none
  std::uint8_t reserved100[4];          // carried through from the file untouched
  std::uint32_t baudRate;               // bits per second
  std::int32_t portAlwaysOpen;          // 0: clients open ports; non-zero: opened at start
  char parity;                          // 'N', 'E' or 'O'; anything else is used as stored
  std::uint8_t reserved113[3];          // carried through from the file untouched
  std::int32_t stopBits;                // 1 or 2
  std::int32_t dataBits;                // 7 or 8
  char logFilePath[kSettingsTextSize];  // event-log file; "" = no log file
  std::uint8_t reserved224[4];          // carried through from the file untouched
  std::int32_t tcpPort;                 // 0 = the default port
  std::int32_t autoDisconnectSeconds;   // 0 or negative = never
};

inline constexpr std::size_t kSettingsSize = 236;
inline constexpr std::int32_t kDefaultTcpPort = 1336;

// The record is written to disk as its memory image, so the layout must be exactly this.
static_assert(std::endian::native == std::endian::little, "the file image is little-endian");
static_assert(sizeof(Settings) == kSettingsSize);
static_assert(offsetof(Settings, portName) == 0);
static_assert(offsetof(Settings, reserved100) == 100);
static_assert(offsetof(Settings, baudRate) == 104);
static_assert(offsetof(Settings, portAlwaysOpen) == 108);
static_assert(offsetof(Settings, parity) == 112);
static_assert(offsetof(Settings, reserved113) == 113);
static_assert(offsetof(Settings, stopBits) == 116);
static_assert(offsetof(Settings, dataBits) == 120);
static_assert(offsetof(Settings, logFilePath) == 124);
static_assert(offsetof(Settings, reserved224) == 224);
static_assert(offsetof(Settings, tcpPort) == 228);
static_assert(offsetof(Settings, autoDisconnectSeconds) == 232);

// A text field of the record as a string. The file may hold a field with no NUL in its
// 100 bytes; the text then ends with the field and never runs into the next one.
std::string FieldText(const char (&field)[kSettingsTextSize]);

// The TCP port the server listens on: tcpPort, or the default when it is 0.
std::int32_t EffectiveTcpPort(const Settings& settings);

}  // namespace qs
