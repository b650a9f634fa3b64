// Windows code page 1250 to Unicode and back, by table: the same on every machine, whatever
// locales are installed.
#include "platform/posix/cp1250.h"

#include <array>
#include <cstdint>

namespace qs::platform {
namespace {

// Bytes 0x80 to 0xFF; 0 where 1250 defines no character. Below 0x80 it is ASCII.
constexpr std::array<std::uint16_t, 128> kHighHalf = {
    0x20AC, 0,      0x201A, 0,      0x201E, 0x2026, 0x2020, 0x2021, 0,      0x2030, 0x0160, 0x2039,
    0x015A, 0x0164, 0x017D, 0x0179, 0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0,      0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A, 0x00A0, 0x02C7, 0x02D8, 0x0141,
    0x00A4, 0x0104, 0x00A6, 0x00A7, 0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x0105, 0x015F, 0x00BB,
    0x013D, 0x02DD, 0x013E, 0x017C, 0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E, 0x0110, 0x0143, 0x0147, 0x00D3,
    0x00D4, 0x0150, 0x00D6, 0x00D7, 0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7, 0x010D, 0x00E9, 0x0119, 0x00EB,
    0x011B, 0x00ED, 0x00EE, 0x010F, 0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

bool ShownRaw(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F || (byte >= 0x80 && kHighHalf[byte - 0x80] == 0);
}

}  // namespace

wchar_t Cp1250ToWide(unsigned char byte) {
  if (ShownRaw(byte)) return static_cast<wchar_t>(kCp1250RawByteBase + byte);
  if (byte < 0x80) return static_cast<wchar_t>(byte);
  return static_cast<wchar_t>(kHighHalf[byte - 0x80]);
}

std::wstring Cp1250ToWide(std::string_view bytes) {
  std::wstring wide;
  wide.reserve(bytes.size());
  for (const char byte : bytes) wide.push_back(Cp1250ToWide(static_cast<unsigned char>(byte)));
  return wide;
}

std::string Cp1250ToPrintableUtf8(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char each : bytes) {
    const auto byte = static_cast<unsigned char>(each);
    if (byte < 0x20 || byte == 0x7F) {
      out.push_back('^');
      out.push_back(static_cast<char>(byte ^ 0x40));
    } else if (ShownRaw(byte)) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    } else {
      AppendUtf8(out, static_cast<char32_t>(Cp1250ToWide(byte)));
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::optional<unsigned char> WideToCp1250(wchar_t c) {
  if (c >= kCp1250RawByteBase && c < kCp1250RawByteBase + 0x100) {
    const auto byte = static_cast<unsigned char>(c - kCp1250RawByteBase);
    if (ShownRaw(byte)) return byte;
    return std::nullopt;
  }
  if (c >= 0 && c < 0x80) {
    if (ShownRaw(static_cast<unsigned char>(c))) return std::nullopt;
    return static_cast<unsigned char>(c);
  }
  for (std::size_t i = 0; i < kHighHalf.size(); ++i) {
    if (kHighHalf[i] != 0 && static_cast<wchar_t>(kHighHalf[i]) == c) {
      return static_cast<unsigned char>(0x80 + i);
    }
  }
  return std::nullopt;
}

bool Cp1250Typable(wchar_t c) {
  return c < kCp1250RawByteBase && WideToCp1250(c).has_value();
}

std::wstring Cp1250InputFilter() {
  // A bracket expression of every typable character; the few that mean something inside
  // brackets are escaped.
  std::wstring filter = L"[";
  for (unsigned byte = 0; byte < 0x100; ++byte) {
    const wchar_t c = Cp1250ToWide(static_cast<unsigned char>(byte));
    if (!Cp1250Typable(c)) continue;
    if (c == L'\\' || c == L']' || c == L'[' || c == L'^' || c == L'-') filter.push_back(L'\\');
    filter.push_back(c);
  }
  filter.push_back(L']');
  return filter;
}

}  // namespace qs::platform
