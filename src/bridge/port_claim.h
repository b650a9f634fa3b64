// The claim on an always-open port: which client, if any, holds it now.
#pragma once

#include <atomic>

namespace qs {

// In always-open mode the port stays open and a client's COM only claims it; CLOSE, the
// idle tick and every close of the port release the claim. Shared by the TCP server thread
// and the user-interface thread.
struct PortClaim {
  std::atomic<bool> portClaimed{false};
};

}  // namespace qs
