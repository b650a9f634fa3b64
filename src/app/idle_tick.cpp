// The idle tick's rule.
#include "app/idle_tick.h"

namespace qs {

void IdleTick::OnTick() {
  const std::int32_t idle = usage_.idleSeconds.fetch_add(1) + 1;
  const Settings settings = settings_.Snapshot();
  const std::int32_t limit = settings.autoDisconnectSeconds;
  if (limit <= 0 || idle <= limit) return;

  usage_.idleSeconds.store(0);
  if (settings.portAlwaysOpen == 0) {
    if (serial_.CloseSerialPort() != 0) log_.LogEvent("Wykonano autorozlaczenie!");
  }
  usage_.portClaimed.store(false);
}

}  // namespace qs
