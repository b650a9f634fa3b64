// The start-up and shut-down sequence, on the user-interface thread.
#include "app/application.h"

#include "serial/configured_port.h"

namespace qs {

int RunApplication(const Application& app) {
  // The settings come first, so that the start line already reaches the log file.
  app.loadSettings();
  app.log.LogEvent(kStartLine);
  for (const std::string& address : app.listHostAddresses()) {
    app.log.LogEvent("My IP adres:" + address);
  }
  app.server.StartTcpServer();
  if (app.settings.Snapshot().portAlwaysOpen != 0) OpenConfiguredPort(app.settings, app.serial);

  const int result = app.mainDialog();

  // The mode of this moment counts: the settings dialog may have changed it.
  if (app.settings.Snapshot().portAlwaysOpen != 0) app.serial.CloseSerialPort();
  app.server.StopTcpServer();
  app.log.LogEvent(kEndLine);
  return result;
}

}  // namespace qs
