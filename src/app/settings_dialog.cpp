// The settings dialog's behaviour, the same on every platform.
#include "app/settings_dialog.h"

#include <array>

#include "serial/configured_port.h"
#include "settings/settings_fields.h"
#include "settings/settings_file.h"

namespace qs {
namespace {

constexpr std::array<int, 9> kSerialControls = {
    SettingsDialog::kPort,       SettingsDialog::kSpeed,     SettingsDialog::kParityNone,
    SettingsDialog::kParityEven, SettingsDialog::kParityOdd, SettingsDialog::kData8,
    SettingsDialog::kData7,      SettingsDialog::kStop1,     SettingsDialog::kStop2};
constexpr std::array<const char*, 8> kSpeeds = {"1200",  "2400",  "4800",  "9600",
                                                "19200", "38400", "57600", "115200"};
constexpr int kPortCount = 19;

}  // namespace

std::uint32_t ParseUnsignedField(const std::string& text) {
  return ReadUnsignedText(text).value.value_or(0);
}

void SettingsDialog::OnOpen(platform::DialogWindow& window) {
  settingsBeforeEdit = settings_.Snapshot();
  const Settings& s = settingsBeforeEdit;
  window.SetText(kLogFile, FieldText(s.logFilePath));
  window.SetChecked(kAlwaysOpen, s.portAlwaysOpen != 0);
  window.ResetComboList(kPort);
  window.ResetComboList(kSpeed);
  for (int n = 1; n <= kPortCount; ++n) window.AddComboItem(kPort, "COM" + std::to_string(n));
  for (const char* speed : kSpeeds) window.AddComboItem(kSpeed, speed);
  window.SetText(kPort, FieldText(s.portName));
  window.SetText(kSpeed, std::to_string(s.baudRate));
  // Every button is set, so a value none of them stands for leaves its group empty.
  window.SetChecked(kParityEven, s.parity == 'E');
  window.SetChecked(kParityOdd, s.parity == 'O');
  window.SetChecked(kParityNone, s.parity == 'N');
  window.SetChecked(kStop1, s.stopBits == 1);
  window.SetChecked(kStop2, s.stopBits == 2);
  window.SetChecked(kData7, s.dataBits == 7);
  window.SetChecked(kData8, s.dataBits == 8);
  window.SetText(kTcpPort, UnsignedText(s.tcpPort));
  window.SetText(kAutoDisconnect, UnsignedText(s.autoDisconnectSeconds));
  EnableSerialControls(window, s.portAlwaysOpen != 0);
}

void SettingsDialog::OnCommand(platform::DialogWindow& window, int controlId) {
  switch (controlId) {
    case kAlwaysOpen: {
      // The mode changes in memory at once; the file and the port wait for OK.
      const bool checked = window.IsChecked(kAlwaysOpen);
      settings_.Update([&](Settings& s) { s.portAlwaysOpen = checked ? 1 : 0; });
      EnableSerialControls(window, checked);
      break;
    }
    case kOk:
      Confirm(window);
      break;
    case kCancel:
      window.End(2);
      break;
    default:
      break;
  }
}

void SettingsDialog::EnableSerialControls(platform::DialogWindow& window, bool enabled) {
  for (const int control : kSerialControls) window.Enable(control, enabled);
}

void SettingsDialog::Confirm(platform::DialogWindow& window) {
  Settings edited = settings_.Snapshot();
  edited.portAlwaysOpen = window.IsChecked(kAlwaysOpen) ? 1 : 0;
  StoreFieldText(edited.logFilePath, window.GetText(kLogFile));
  StoreFieldText(edited.portName, window.GetText(kPort));
  edited.baudRate = ParseUnsignedField(window.GetText(kSpeed));
  edited.tcpPort = static_cast<std::int32_t>(ParseUnsignedField(window.GetText(kTcpPort)));
  edited.autoDisconnectSeconds =
      static_cast<std::int32_t>(ParseUnsignedField(window.GetText(kAutoDisconnect)));
  edited.parity = window.IsChecked(kParityEven) ? 'E' : window.IsChecked(kParityOdd) ? 'O' : 'N';
  edited.stopBits = window.IsChecked(kStop1) ? 1 : 2;
  edited.dataBits = window.IsChecked(kData7) ? 7 : 8;
  settings_.Replace(edited);
  SaveSettings(settings_);

  const Settings& before = settingsBeforeEdit;
  const bool serialChanged = FieldText(edited.portName) != FieldText(before.portName) ||
                             edited.baudRate != before.baudRate ||
                             edited.portAlwaysOpen != before.portAlwaysOpen ||
                             edited.parity != before.parity || edited.stopBits != before.stopBits ||
                             edited.dataBits != before.dataBits;
  if (serialChanged) {
    log_.SetScreenLogEnabled(false);
    serial_.CloseSerialPort();
    if (edited.portAlwaysOpen != 0) OpenConfiguredPort(settings_, serial_);
    log_.SetScreenLogEnabled(true);
  }
  if (edited.tcpPort != before.tcpPort) {
    server_.StopTcpServer();
    server_.StartTcpServer();
  }
  window.End(1);
}

}  // namespace qs
