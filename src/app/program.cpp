// The composition root: builds the program's parts once and runs them.
#include <chrono>
#include <system_error>
#include <thread>

#include "app/application.h"
#include "app/host_addresses.h"
#include "app/idle_tick.h"
#include "app/main_dialog.h"
#include "app/settings_dialog.h"
#include "app/startup_report.h"
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
#include "platform/console.h"
#include "platform/entry.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/ui.h"
#include "serial/port_usage.h"
#include "serial/serial_link.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"

namespace qs {
namespace {

// How long the start-up report waits for the server thread to know whether it listens.
constexpr std::chrono::milliseconds kListenOutcomeWait{3000};

// The service log's view of the start, written once the server thread knows whether it
// listens.
void ReportStart(const SettingsStore& settings, SettingsFileState settingsFile, TcpServer& server) {
  const Settings record = settings.Snapshot();
  StartupFacts facts;
  facts.programName = ProgramName();
  facts.workingDirectory = platform::WorkingDirectory();
  facts.settingsFile = settingsFile;
  facts.tcpPort = EffectiveTcpPort(record);
  facts.listening = server.WaitForListenOutcome(kListenOutcomeWait);
  facts.logFilePath = FieldText(record.logFilePath);
  platform::WriteToStandardError(StartupReport(facts));
}

// Headless only, and beside the main dialog, so that the dialog opens when it always did and
// the event list gets the lines it always got; joined when the dialog has ended.
std::jthread ReportHeadlessStart(const SettingsStore& settings, SettingsFileState settingsFile,
                                 TcpServer& server) {
  if (!platform::RunsHeadless()) return {};
  try {
    return std::jthread(
        [&settings, settingsFile, &server] { ReportStart(settings, settingsFile, server); });
  } catch (const std::system_error&) {
    ReportStart(settings, settingsFile, server);
    return {};
  }
}

}  // namespace

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
  SettingsFileState settingsFile = SettingsFileState::kMissing;

  const Application app{
      settings,
      log,
      server,
      serial,
      ListHostAddresses,
      [&] { settingsFile = LoadSettings(settings); },
      [&] {
        const std::jthread report = ReportHeadlessStart(settings, settingsFile, server);
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
