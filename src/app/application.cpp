// The start-up and shut-down sequence, on the user-interface thread.
#include "app/application.h"

#include <cstring>

namespace qs {
namespace {

// The start-up open with the record's own port name: the record keeps the upper-cased
// name that the open leaves, as the settings dialog shows it and a later save writes it.
void OpenAlwaysOpenPort(const Application& app) {
  const Settings settings = app.settings.Snapshot();
  std::string name = FieldText(settings.portName);
  app.serial.OpenSerialPort(name, settings.baudRate, settings.dataBits, settings.parity,
                            settings.stopBits, 10, 50, 0);
  app.settings.Update([&](Settings& record) {
    if (FieldText(record.portName).size() == name.size()) {
      std::memcpy(record.portName, name.data(), name.size());
    }
  });
}

}  // namespace

int RunApplication(const Application& app) {
  // The settings come first, so that the start line already reaches the log file.
  app.loadSettings();
  app.log.LogEvent(kStartLine);
  for (const std::string& address : app.listHostAddresses()) {
    app.log.LogEvent("My IP adres:" + address);
  }
  app.server.StartTcpServer();
  if (app.settings.Snapshot().portAlwaysOpen != 0) OpenAlwaysOpenPort(app);

  const int result = app.mainDialog();

  // The mode of this moment counts: the settings dialog may have changed it.
  if (app.settings.Snapshot().portAlwaysOpen != 0) app.serial.CloseSerialPort();
  app.server.StopTcpServer();
  app.log.LogEvent(kEndLine);
  return result;
}

}  // namespace qs
