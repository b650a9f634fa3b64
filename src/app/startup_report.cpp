// The start-up lines for stderr, separate from the event list and the log file.
#include "app/startup_report.h"

#if !defined(QS_VERSION) || !defined(QS_PROGRAM_NAME)
#error "the build defines QS_VERSION and QS_PROGRAM_NAME"
#endif

namespace qs {
namespace {

std::string SettingsLine(SettingsFileState state) {
  const std::string file = std::string("settings: ") + kSettingsFileName;
  switch (state) {
    case SettingsFileState::kRead:
      return file + " read";
    case SettingsFileState::kMissing:
      return file + " not found, every setting is zero";
    case SettingsFileState::kUnreadable:
      return file + " could not be read, every setting is zero";
    case SettingsFileState::kShort:
      return file + " is shorter than " + std::to_string(kSettingsSize) +
             " bytes, every setting is zero";
  }
  return file;
}

std::string TcpLine(std::int32_t port, ListenOutcome outcome) {
  const std::string number = std::to_string(port);
  switch (outcome) {
    case ListenOutcome::kListening:
      return "TCP port: listening on " + number;
    case ListenOutcome::kFailed:
      return "TCP port: could not listen on " + number;
    case ListenOutcome::kPending:
      break;
  }
  return "TCP port: " + number + ", not yet listening";
}

bool IsAbsolute(const std::string& path) {
  // A POSIX root, or a Windows drive or UNC path.
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 1 && path[1] == ':');
}

std::string LogLine(const std::string& path, const std::string& workingDirectory) {
  if (path.empty()) return "log file: none";
  if (IsAbsolute(path) || workingDirectory.empty()) return "log file: " + path;
  return "log file: " + path + " (" + workingDirectory + "/" + path + ")";
}

}  // namespace

const char* ProgramName() {
  return QS_PROGRAM_NAME;
}

const char* ProgramVersion() {
  return QS_VERSION;
}

std::string StartupReport(const StartupFacts& facts) {
  std::string report = facts.programName + " " + ProgramVersion() + "\n";
  report += "working directory: " +
            (facts.workingDirectory.empty() ? "unknown" : facts.workingDirectory) + "\n";
  report += SettingsLine(facts.settingsFile) + "\n";
  report += TcpLine(facts.tcpPort, facts.listening) + "\n";
  report += LogLine(facts.logFilePath, facts.workingDirectory) + "\n";
  return report;
}

}  // namespace qs
