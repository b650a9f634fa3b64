// The always-open port of the settings.
#include "serial/configured_port.h"

#include <cstring>
#include <string>

namespace qs {

namespace {

int Open(SettingsStore& settings, SerialPortControl& serial, bool again) {
  const Settings record = settings.Snapshot();
  std::string name = FieldText(record.portName);
  const int result = again ? serial.ReopenSerialPort(name, record.baudRate, record.dataBits,
                                                     record.parity, record.stopBits, 10, 50, 0)
                           : serial.OpenSerialPort(name, record.baudRate, record.dataBits,
                                                   record.parity, record.stopBits, 10, 50, 0);
  settings.Update([&](Settings& current) {
    if (FieldText(current.portName).size() == name.size()) {
      std::memcpy(current.portName, name.data(), name.size());
    }
  });
  return result;
}

}  // namespace

int OpenConfiguredPort(SettingsStore& settings, SerialPortControl& serial) {
  return Open(settings, serial, false);
}

int ReopenConfiguredPort(SettingsStore& settings, SerialPortControl& serial) {
  return Open(settings, serial, true);
}

}  // namespace qs
