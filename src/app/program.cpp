// The composition root: builds the program's parts once and runs them.
#include "app/application.h"
#include "app/host_addresses.h"
#include "app/idle_tick.h"
#include "app/main_dialog.h"
#include "app/settings_dialog.h"
#include "bridge/client_demux.h"
#include "bridge/client_sender.h"
#include "bridge/client_slot.h"
#include "bridge/command_interpreter.h"
#include "bridge/command_parameters.h"
#include "bridge/port_claim.h"
#include "bridge/tcp_server.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/comm.h"
#include "platform/entry.h"
#include "platform/net.h"
#include "platform/ui.h"
#include "serial/port_usage.h"
#include "serial/serial_link.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"

namespace qs {

int RunProgram() {
  SettingsStore settings;
  EventLog log(settings, platform::SystemClock());
  PortUsage usage;
  PortClaim claim;
  CommandParameters parameters;
  // Before the serial link: its reader may send to a slot until the link is gone.
  ClientSlots slots;
  ClientSender sender(log);
  SerialLink serial(log, usage, platform::SystemComm(), sender,
                    [&claim] { claim.portClaimed.store(false); });
  CommandInterpreter interpreter(settings, serial, claim, parameters, sender);
  ClientDemux demux(log, serial, interpreter);
  TcpServer server(settings, log, platform::SystemSockets(), slots, demux);
  IdleTick tick(settings, log, usage, claim, serial);

  const Application app{
      settings,
      log,
      server,
      serial,
      ListHostAddresses,
      [&] { LoadSettings(settings); },
      [&] {
        MainDialog dialog(log, tick, [&] {
          SettingsDialog settingsDialog(settings, log, serial, server);
          platform::RunModalDialog(platform::DialogId::kSettings, settingsDialog);
        });
        return platform::RunModalDialog(platform::DialogId::kMain, dialog);
      },
  };
  return RunApplication(app);
}

}  // namespace qs
