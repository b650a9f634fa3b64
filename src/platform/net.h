// Network seam: this host's IPv4 addresses; the TCP server's socket calls join it later.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qs::platform {

// This host's IPv4 addresses as dotted-decimal text, in the order the host-name lookup
// gives them, at most max of them. Empty when the lookup fails.
std::vector<std::string> HostIPv4Addresses(std::size_t max);

}  // namespace qs::platform
