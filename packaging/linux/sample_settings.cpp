// Writes the sample "setuplite.dat" shipped with the documentation, then reads it back.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "settings/settings.h"
#include "settings/settings_file.h"

namespace {

void SetText(char (&field)[qs::kSettingsTextSize], std::string_view text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), text.size());
}

// On demand, 9600 8N1, the log beside the settings, the default TCP port, never idle-closed.
qs::Settings SampleSettings() {
  qs::Settings sample{};
  SetText(sample.portName, "COM1");
  sample.baudRate = 9600;
  sample.portAlwaysOpen = 0;
  sample.parity = 'N';
  sample.stopBits = 1;
  sample.dataBits = 8;
  SetText(sample.logFilePath, "quillon-smart.log");
  sample.tcpPort = qs::kDefaultTcpPort;
  sample.autoDisconnectSeconds = 0;
  return sample;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output-file\n", argv[0]);
    return 2;
  }
  const qs::Settings sample = SampleSettings();
  qs::WriteSettingsFile(argv[1], sample);
  const qs::Settings back = qs::ReadSettingsFile(argv[1]);
  if (std::memcmp(&sample, &back, sizeof sample) != 0) {
    std::fprintf(stderr, "%s: could not write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
