// Decimal parsers: C's atoi rule clamped to 32 bits, and digits-only saturating.
#include "platform/common/decimal_text.h"

#include <algorithm>
#include <limits>

namespace qs::platform {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

std::int32_t ParseAtoiClamped(std::string_view text) {
  constexpr long long kMin = std::numeric_limits<std::int32_t>::min();
  constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  long long value = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > kMax + 1) break;  // clamped below; stop growing
  }
  if (negative) value = -value;
  return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
}

std::optional<std::uint32_t> ParseDigitsSaturating(std::string_view text, bool* overflowed) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  bool over = false;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMax) {
      value = kMax;
      over = true;
    }
  }
  if (overflowed != nullptr) *overflowed = over;
  return static_cast<std::uint32_t>(value);
}

}  // namespace qs::platform
