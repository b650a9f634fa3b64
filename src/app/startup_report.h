// The few lines a service log needs from a headless start: what runs, where, with what.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/tcp_server.h"
#include "settings/settings_file.h"

namespace qs {

// The program's file name and version, from the build.
const char* ProgramName();
const char* ProgramVersion();

struct StartupFacts {
  std::string programName;
  std::string workingDirectory;  // empty when it could not be told
  SettingsFileState settingsFile = SettingsFileState::kMissing;
  std::int32_t tcpPort = 0;  // the port the server was started on
  ListenOutcome listening = ListenOutcome::kPending;
  std::string logFilePath;  // as the record holds it; empty = none
};

// One line each: program and version, working directory, settings file, TCP port, log file.
std::string StartupReport(const StartupFacts& facts);

}  // namespace qs
