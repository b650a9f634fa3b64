// Ends a fuzz run at the first broken property, saying which one (libFuzzer keeps the input).
#pragma once

#include <concepts>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qs::fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz property broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void Require(bool holds, const std::string& what) {
  if (!holds) Fail(what);
}

// The same with a message that is only worked out when the property broke.
template <typename Message>
requires std::invocable<Message>
inline void Require(bool holds, Message&& what) {
  if (!holds) Fail(what());
}

// A byte string shown as C escapes, for the messages above.
inline std::string Printable(const std::string& bytes) {
  std::string shown;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && c != '\\') {
      shown += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      shown += hex;
    }
  }
  return shown;
}

}  // namespace qs::fuzz
