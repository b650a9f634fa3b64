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
  static constexpr int kOk = 1;
  static constexpr int kAlwaysOpen = 201;
  static constexpr int kSpeed = 202;
  static constexpr int kPort = 204;
  static constexpr int kParityNone = 206;
  static constexpr int kParityEven = 207;
  static constexpr int kParityOdd = 208;
  static constexpr int kData8 = 209;
  static constexpr int kData7 = 214;
  static constexpr int kStop1 = 211;
  static constexpr int kStop2 = 212;
  static constexpr int kLogFile = 213;
  static constexpr int kTcpPort = 1000;
  static constexpr int kAutoDisconnect = 1001;

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
