// Fuzz target: any bytes in "setuplite.dat" load whole or count as no file, and what loads goes
// through a save, a reload and the settings dialog's OK as the record's rules say.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/settings_dialog.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_dialog_window.h"
#include "fakes/fake_serial_port.h"
#include "fuzz_check.h"
#include "settings/settings_file.h"
#include "support/temp_dir.h"

namespace qs::fuzz {
namespace {

using D = SettingsDialog;

class CountingServer final : public TcpServerControl {
 public:
  void StartTcpServer() override { ++calls; }
  void StopTcpServer() override { ++calls; }
  int calls = 0;
};

// The file lives in the working directory: one folder for the whole run, entered once.
void EnterRunFolder() {
  static testing::TempDir folder;
  static testing::WorkingDirectory inside(folder.path());
}

std::string Image(const Settings& s) {
  return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

// A text field as the program may read it: up to its NUL, never past its 100 bytes.
std::string Text(const char (&field)[kSettingsTextSize]) {
  std::string text;
  for (std::size_t i = 0; i < kSettingsTextSize && field[i] != '\0'; ++i) text += field[i];
  return text;
}

// A text read back from an edit box: at most 99 characters and the NUL; the bytes behind the
// NUL keep what the record held.
void PutText(char (&field)[kSettingsTextSize], const std::string& text) {
  const std::size_t n = text.size() < kSettingsTextSize - 1 ? text.size() : kSettingsTextSize - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// OK without edits: every control read back, the choices that none of the buttons showed
// becoming the defaults.
Settings AfterOk(const Settings& shown) {
  Settings s = shown;
  s.portAlwaysOpen = shown.portAlwaysOpen != 0 ? 1 : 0;
  PutText(s.logFilePath, Text(shown.logFilePath));
  PutText(s.portName, Text(shown.portName));
  s.parity = shown.parity == 'E' ? 'E' : shown.parity == 'O' ? 'O' : 'N';
  s.stopBits = shown.stopBits == 1 ? 1 : 2;
  s.dataBits = shown.dataBits == 7 ? 7 : 8;
  return s;
}

bool SerialChanged(const Settings& a, const Settings& b) {
  return Text(a.portName) != Text(b.portName) || a.baudRate != b.baudRate ||
         a.portAlwaysOpen != b.portAlwaysOpen || a.parity != b.parity || a.stopBits != b.stopBits ||
         a.dataBits != b.dataBits;
}

// The name an open leaves: a COM name upper-cased, a device path (Linux) as it was.
std::string OpenedName(std::string s) {
  if (s.find('/') != std::string::npos) return s;
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string Decimal(std::int32_t value) {
  return std::to_string(static_cast<std::uint32_t>(value));
}

void CheckShown(testing::FakeDialogWindow& w, const Settings& s) {
  Require(w.texts[D::kPort] == Text(s.portName), "port name shown wrong");
  Require(w.texts[D::kLogFile] == Text(s.logFilePath), "log path shown wrong");
  Require(w.texts[D::kSpeed] == std::to_string(s.baudRate), "speed shown wrong");
  Require(w.texts[D::kTcpPort] == Decimal(s.tcpPort), "TCP port shown wrong");
  Require(w.texts[D::kAutoDisconnect] == Decimal(s.autoDisconnectSeconds), "idle time shown wrong");
  Require(w.checks[D::kAlwaysOpen] == (s.portAlwaysOpen != 0), "always-open box wrong");
  Require(w.checks[D::kParityNone] == (s.parity == 'N') &&
              w.checks[D::kParityEven] == (s.parity == 'E') &&
              w.checks[D::kParityOdd] == (s.parity == 'O'),
          "parity buttons wrong");
  Require(w.checks[D::kStop1] == (s.stopBits == 1) && w.checks[D::kStop2] == (s.stopBits == 2),
          "stop-bit buttons wrong");
  Require(w.checks[D::kData7] == (s.dataBits == 7) && w.checks[D::kData8] == (s.dataBits == 8),
          "data-bit buttons wrong");
  Require(w.IsEnabled(D::kPort) == (s.portAlwaysOpen != 0), "serial controls enabled wrong");
}

// The settings dialog opened on the loaded record and confirmed unchanged, twice.
void CheckDialogOk(SettingsStore& store, const Settings& loaded) {
  SettingsStore logSettings;  // no log file: nothing the fuzzer wrote names a path to write to
  testing::FakeClock clock;
  EventLog log(logSettings, clock);
  testing::FakeSerialPort serial;
  CountingServer server;
  SettingsDialog dialog(store, log, serial, server);

  testing::FakeDialogWindow first;
  dialog.OnOpen(first);
  CheckShown(first, loaded);
  dialog.OnCommand(first, D::kOk);
  Require(first.ended && first.endResult == 1, "OK did not end the dialog with 1");

  const Settings saved = AfterOk(loaded);
  Require(testing::ReadBytes(kSettingsFileName) == Image(saved), "OK saved other bytes");
  const bool changed = SerialChanged(saved, loaded);
  const bool reopened = changed && saved.portAlwaysOpen != 0;
  Require(serial.closeCalls == (changed ? 1 : 0), "port closed without a serial change, or kept");
  Require(serial.opens.size() == (reopened ? 1u : 0u), "always-open port not opened again");
  Settings inForce = saved;
  if (reopened) {
    const std::string name = OpenedName(Text(saved.portName));
    Require(serial.opens[0] == name + " " + std::to_string(saved.baudRate) + " " +
                                   std::to_string(saved.dataBits) + " " + saved.parity + " " +
                                   std::to_string(saved.stopBits) + " 10 50 0",
            "re-opened with other values: " + Printable(serial.opens[0]));
    PutText(inForce.portName, name);
  }
  Require(Image(store.Snapshot()) == Image(inForce), "the record in force is not what was saved");
  Require(server.calls == 0, "an unchanged TCP port restarted the server");
  Require(log.screenLogEnabled(), "screen log left off");

  // A second OK changes nothing more: the record is already in the dialog's terms.
  testing::FakeDialogWindow second;
  dialog.OnOpen(second);
  CheckShown(second, inForce);
  dialog.OnCommand(second, D::kOk);
  Require(testing::ReadBytes(kSettingsFileName) == Image(inForce), "a second OK saved new bytes");
  Require(serial.closeCalls == (changed ? 1 : 0) && server.calls == 0,
          "a second OK without edits touched the port or the server");
}

}  // namespace
}  // namespace qs::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qs;
  using namespace qs::fuzz;
  EnterRunFolder();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  testing::WriteBytes(kSettingsFileName, bytes);

  SettingsStore store;
  LoadSettings(store);
  const Settings loaded = store.Snapshot();
  const std::string expected =
      size < kSettingsSize ? std::string(kSettingsSize, '\0') : bytes.substr(0, kSettingsSize);
  Require(Image(loaded) == expected, "a file of " + std::to_string(size) + " bytes loaded wrong");
  Require(store.PortName() == Text(loaded.portName), "port name read past its field");
  Require(store.LogFilePath() == Text(loaded.logFilePath), "log path read past its field");
  Require(EffectiveTcpPort(loaded) == (loaded.tcpPort == 0 ? 1336 : loaded.tcpPort),
          "wrong listening port");

  SaveSettings(store);
  Require(testing::ReadBytes(kSettingsFileName) == expected, "save wrote other bytes");
  SettingsStore reloaded;
  LoadSettings(reloaded);
  Require(Image(reloaded.Snapshot()) == expected, "reload gave other values");

  CheckDialogOk(store, loaded);
  return 0;
}
