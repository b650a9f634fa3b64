// Process entry on POSIX.
#include "platform/entry.h"
#include "platform/posix/stop_signals.h"

int main() {
  // Before anything else, so that a stop request is never lost or fatal.
  qs::platform::InstallStopSignals();
  return qs::RunProgram();
}
