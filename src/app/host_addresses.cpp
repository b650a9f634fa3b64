// Start-up's address listing.
#include "app/host_addresses.h"

#include "platform/net.h"

namespace qs {

std::vector<std::string> ListHostAddresses() {
  return platform::HostIPv4Addresses(kMaxHostAddresses);
}

}  // namespace qs
