// Start-up and shut-down: the order in which the program comes up and goes down.
#include <string>

#include "app/host_addresses.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/entry.h"
#include "settings/settings_file.h"
#include "settings/settings_store.h"

namespace qs {
namespace {

constexpr const char* kStartLine = "------------- Start programu --------------------";
constexpr const char* kEndLine = "------------- Koniec programu --------------------";

}  // namespace

int RunProgram() {
  SettingsStore settings;
  EventLog log(settings, platform::SystemClock());

  // The settings come first, so that the start line already reaches the log file.
  LoadSettings(settings);
  log.LogEvent(kStartLine);
  for (const std::string& address : ListHostAddresses()) log.LogEvent("My IP adres:" + address);

  // The TCP server, the always-open port and the main dialog take their place here.

  log.LogEvent(kEndLine);
  return 0;
}

}  // namespace qs
