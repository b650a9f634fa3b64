// The one-second idle tick: closes an idle port, or releases an idle claim on an always-open one.
#pragma once

#include "bridge/port_claim.h"
#include "log/event_log.h"
#include "serial/port_usage.h"
#include "serial/serial_port_control.h"
#include "settings/settings_store.h"

namespace qs {

class IdleTick {
 public:
  IdleTick(SettingsStore& settings, EventLog& log, PortUsage& usage, PortClaim& claim,
           SerialPortControl& serial)
      : settings_(settings), log_(log), usage_(usage), claim_(claim), serial_(serial) {}

  // With autoDisconnectSeconds = N > 0, fires on the (N+1)-th tick since the last write
  // or open: closes the port (logging when one was open) unless it is to stay open, and
  // releases the claim in both modes. With N <= 0 it only counts. In always-open mode it
  // also tries, quietly, to open again a port whose device went away.
  void OnTick();

 private:
  SettingsStore& settings_;
  EventLog& log_;
  PortUsage& usage_;
  PortClaim& claim_;
  SerialPortControl& serial_;
};

}  // namespace qs
