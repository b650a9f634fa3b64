// Start-up and shut-down: the order in which the program comes up and goes down.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bridge/tcp_server_control.h"
#include "log/event_log.h"
#include "serial/serial_port_control.h"
#include "settings/settings_store.h"

namespace qs {

inline constexpr const char* kStartLine = "------------- Start programu --------------------";
inline constexpr const char* kEndLine = "------------- Koniec programu --------------------";

struct Application {
  SettingsStore& settings;
  EventLog& log;
  TcpServerControl& server;
  SerialPortControl& serial;
  std::function<std::vector<std::string>()> listHostAddresses;
  std::function<void()> loadSettings;
  std::function<int()> mainDialog;  // runs it modally; 1 after "Koniec", 2 after cancel
};

// Runs start-up, the main dialog and shut-down; returns the dialog's result.
int RunApplication(const Application& app);

}  // namespace qs
