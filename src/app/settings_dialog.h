// The settings dialog: shows the record, and on OK saves it and applies what changed.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/tcp_server_control.h"
#include "log/event_log.h"
#include "platform/ui.h"
#include "serial/serial_port_control.h"
#include "settings/settings_store.h"

namespace qs {

class SettingsDialog final : public platform::DialogHandler {
 public:
  // Control ids.
  static constexpr int kOk = QS_IDC_OK;
  static constexpr int kAlwaysOpen = QS_IDC_SETTINGS_ALWAYS_OPEN;
  static constexpr int kSpeed = QS_IDC_SETTINGS_SPEED;
  static constexpr int kPort = QS_IDC_SETTINGS_PORT;
  static constexpr int kParityNone = QS_IDC_SETTINGS_PARITY_NONE;
  static constexpr int kParityEven = QS_IDC_SETTINGS_PARITY_EVEN;
  static constexpr int kParityOdd = QS_IDC_SETTINGS_PARITY_ODD;
  static constexpr int kData8 = QS_IDC_SETTINGS_DATA_8;
  static constexpr int kData7 = QS_IDC_SETTINGS_DATA_7;
  static constexpr int kStop1 = QS_IDC_SETTINGS_STOP_1;
  static constexpr int kStop2 = QS_IDC_SETTINGS_STOP_2;
  static constexpr int kLogFile = QS_IDC_SETTINGS_LOG_FILE;
  static constexpr int kTcpPort = QS_IDC_SETTINGS_TCP_PORT;
  static constexpr int kAutoDisconnect = QS_IDC_SETTINGS_AUTO_DISCONNECT;

  SettingsDialog(SettingsStore& settings, EventLog& log, SerialPortControl& serial,
                 TcpServerControl& server)
      : settings_(settings), log_(log), serial_(serial), server_(server) {}

  void OnOpen(platform::DialogWindow& window) override;
  void OnCommand(platform::DialogWindow& window, int controlId) override;
  void OnTimer(platform::DialogWindow&) override {}
  void OnWake(platform::DialogWindow&) override {}

 private:
  void EnableSerialControls(platform::DialogWindow& window, bool enabled);
  void Confirm(platform::DialogWindow& window);

  SettingsStore& settings_;
  EventLog& log_;
  SerialPortControl& serial_;
  TcpServerControl& server_;
  Settings settingsBeforeEdit{};
};

// What a number box holds as an unsigned 32-bit number: 0 for an empty text, one that is
// not a plain decimal number, or one above 4294967295.
std::uint32_t ParseUnsignedField(const std::string& text);

}  // namespace qs
