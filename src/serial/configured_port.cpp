// The always-open port of the settings.
#include "serial/configured_port.h"

#include <cstring>
#include <string>

namespace qs {

int OpenConfiguredPort(SettingsStore& settings, SerialPortControl& serial) {
  const Settings record = settings.Snapshot();
  std::string name = FieldText(record.portName);
  const int result = serial.OpenSerialPort(name, record.baudRate, record.dataBits, record.parity,
                                           record.stopBits, 10, 50, 0);
  settings.Update([&](Settings& current) {
    if (FieldText(current.portName).size() == name.size()) {
      std::memcpy(current.portName, name.data(), name.size());
    }
  });
  return result;
}

}  // namespace qs
