// The host's IPv4 addresses that start-up lists in the event log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qs {

inline constexpr std::size_t kMaxHostAddresses = 10;

// At most ten addresses, in lookup order; empty when the lookup fails (no error is logged).
std::vector<std::string> ListHostAddresses();

}  // namespace qs
