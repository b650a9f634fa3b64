// The traffic log's escape table.
#include "log/traffic_text.h"

#include <cstring>

namespace qs {
namespace {

std::size_t EscapeByte(std::uint8_t byte, char* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  switch (byte) {
    case 0x0A:
      std::memcpy(out, "[LF]", 4);
      return 4;
    case 0x0D:
      std::memcpy(out, "[CR]", 4);
      return 4;
    case 0x1B:
      std::memcpy(out, "[ESC]", 5);
      return 5;
    default:
      break;
  }
  if (byte >= 0x20 && byte <= 0x7F) {
    out[0] = static_cast<char>(byte);
    return 1;
  }
  out[0] = '[';
  out[1] = kHex[byte >> 4];
  out[2] = kHex[byte & 0x0F];
  out[3] = ']';
  return 4;
}

}  // namespace

void EscapeTraffic(const std::uint8_t* src, std::size_t count, char* dest) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) written += EscapeByte(src[i], dest + written);
  dest[written] = '\0';
}

std::string EscapeTraffic(const std::uint8_t* src, std::size_t count) {
  std::string text(kTrafficTextBytesPerInput * count + 1, '\0');
  EscapeTraffic(src, count, text.data());
  text.resize(std::strlen(text.c_str()));
  return text;
}

}  // namespace qs
