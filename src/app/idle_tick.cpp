// The idle tick's rule.
#include "app/idle_tick.h"

#include "serial/configured_port.h"

namespace qs {

void IdleTick::OnTick() {
  const std::int32_t idle = usage_.idleSeconds.fetch_add(1) + 1;
  const Settings settings = settings_.Snapshot();
  // A port that is to stay open comes back by itself once its device is there again.
  if (settings.portAlwaysOpen != 0 && serial_.DeviceGone()) {
    ReopenConfiguredPort(settings_, serial_);
  }
  const std::int32_t limit = settings.autoDisconnectSeconds;
  if (limit <= 0 || idle <= limit) return;

  usage_.idleSeconds.store(0);
  if (settings.portAlwaysOpen == 0) {
    if (serial_.CloseSerialPort() != 0) log_.LogEvent("Wykonano autorozlaczenie!");
  }
  claim_.portClaimed.store(false);
}

}  // namespace qs
