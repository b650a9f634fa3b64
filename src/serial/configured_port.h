// Opening the port that the settings name, as start-up and the settings dialog do.
#pragma once

#include "serial/serial_port_control.h"
#include "settings/settings_store.h"

namespace qs {

// Opens the record's port with its line settings and the fixed read time-outs (10 ms
// between bytes, 50 ms in all). The record keeps the upper-cased name that the open
// leaves, as the settings dialog then shows it and a later save writes it.
int OpenConfiguredPort(SettingsStore& settings, SerialPortControl& serial);
// The same, for the port whose device went away: a failed attempt logs nothing.
int ReopenConfiguredPort(SettingsStore& settings, SerialPortControl& serial);

}  // namespace qs
