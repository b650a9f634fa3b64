// Decimal numbers in text, each parser named after the rule it follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qs::platform {

// C's atoi: blanks (space, \t to \r), an optional sign, then the digits up to the first other
// character; 0 when there are none. Values beyond 32 bits are clamped instead of overflowing.
std::int32_t ParseAtoiClamped(std::string_view text);

// Decimal digits only, at least one: nullopt for anything else (blanks and signs included).
// A value too large for 32 bits saturates at the largest one, as Windows does; overflowed,
// when given, tells whether it did (for callers whose rule refuses such a value instead).
std::optional<std::uint32_t> ParseDigitsSaturating(std::string_view text,
                                                   bool* overflowed = nullptr);

}  // namespace qs::platform
