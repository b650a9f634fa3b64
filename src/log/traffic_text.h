// Printable form of the bytes a client sends, for the traffic log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qs {

// The largest chunk the server hands over at once, and the traffic text it can give.
inline constexpr std::size_t kMaxChunkSize = 1023;
inline constexpr std::size_t kTrafficTextBytesPerInput = 5;  // "[ESC]"

// Writes the traffic text of count bytes into dest, zero-terminated. dest must hold
// kTrafficTextBytesPerInput * count + 1 bytes. Printable ASCII 0x20-0x7F stays itself;
// LF, CR and ESC become "[LF]", "[CR]" and "[ESC]"; every other byte "[XX]" in upper-case hex.
void EscapeTraffic(const std::uint8_t* src, std::size_t count, char* dest);

std::string EscapeTraffic(const std::uint8_t* src, std::size_t count);

}  // namespace qs
