// The settings tool's two commands, on the program's own record and file code.
#include "app/settings_tool.h"

#include <optional>

#include "app/startup_report.h"
#include "platform/console.h"
#include "platform/file.h"
#include "settings/settings_fields.h"
#include "settings/settings_file.h"

namespace qs {
namespace {

struct CommandLine {
  std::string verb;
  std::string dir;  // empty: the working directory
  std::vector<std::string> assignments;
};

std::string FieldList() {
  std::string names;
  for (const SettingsField& field : SettingsFields()) {
    names += names.empty() ? "" : " ";
    names += field.name;
  }
  return names;
}

void PrintUsage(std::ostream& stream) {
  stream << "usage: " << kSettingsToolName << " show [--dir DIR]\n"
         << "       " << kSettingsToolName << " set [--dir DIR] FIELD=VALUE...\n"
         << "       " << kSettingsToolName << " --version\n"
         << "Shows or changes " << kSettingsFileName
         << " in DIR (default: the working directory).\n"
         << "Fields: " << FieldList() << "\n";
}

// The command line, or nothing after saying on err what is wrong with it.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::ostream& err) {
  CommandLine line;
  bool dirGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--dir" || arg.rfind("--dir=", 0) == 0) {
      const bool joined = arg.size() > 5;
      if (!joined && i + 1 == args.size()) {
        err << kSettingsToolName << ": --dir needs a folder\n";
        return std::nullopt;
      }
      line.dir = joined ? arg.substr(6) : args[++i];
      if (line.dir.empty() || dirGiven) {
        err << kSettingsToolName << ": give one folder, once, with --dir\n";
        return std::nullopt;
      }
      dirGiven = true;
    } else if (line.verb.empty() && (arg == "show" || arg == "set")) {
      line.verb = arg;
    } else if (line.verb == "set" && arg.rfind("--", 0) != 0) {
      line.assignments.push_back(arg);
    } else {
      err << kSettingsToolName << ": unexpected '" << arg << "'\n";
      return std::nullopt;
    }
  }
  if (line.verb.empty()) {
    err << kSettingsToolName << ": say show or set\n";
    return std::nullopt;
  }
  if (line.verb == "set" && line.assignments.empty()) {
    err << kSettingsToolName << ": set needs at least one FIELD=VALUE\n";
    return std::nullopt;
  }
  return line;
}

std::string FilePath(const std::string& dir) {
  if (dir.empty()) return kSettingsFileName;
  const char last = dir.back();
  return dir + (last == '/' || last == '\\' ? "" : "/") + kSettingsFileName;
}

// Where the file is, for messages.
std::string Where(const std::string& dir) {
  if (!dir.empty()) return dir;
  const std::string cwd = platform::WorkingDirectory();
  return cwd.empty() ? "the working directory" : cwd;
}

int Show(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const SettingsFileImage image = ReadSettingsFileImage(FilePath(line.dir));
  const std::string intro =
      std::string(kSettingsToolName) + ": " + kSettingsFileName + " in " + Where(line.dir);
  switch (image.state) {
    case SettingsFileState::kRead:
      break;
    case SettingsFileState::kUnreadable:
      err << intro << " could not be read\n";
      return kToolRefused;
    case SettingsFileState::kMissing:
      err << intro << " not found: these are the all-zero settings the program starts with\n";
      break;
    case SettingsFileState::kShort:
      err << intro << " is shorter than " << kSettingsSize
          << " bytes: the program ignores it and starts with these all-zero settings\n";
      break;
  }
  for (const SettingsField& field : SettingsFields()) {
    const std::string value = field.show(image.settings);
    out << field.name << '=' << (field.isText ? platform::SettingsTextToConsole(value) : value)
        << '\n';
  }
  return 0;
}

// Applies one FIELD=VALUE to the record; the reason when refused.
std::string Apply(Settings& settings, const std::string& assignment) {
  const std::size_t equals = assignment.find('=');
  if (equals == std::string::npos) return "'" + assignment + "' is not FIELD=VALUE";
  const std::string name = assignment.substr(0, equals);
  const SettingsField* field = FindSettingsField(name);
  if (!field) return "unknown field '" + name + "' (fields: " + FieldList() + ")";
  std::string value = assignment.substr(equals + 1);
  if (field->isText) {
    const std::optional<std::string> bytes = platform::SettingsTextFromConsole(value);
    if (!bytes) return name + ": a character that code page 1250 cannot hold, or a control code";
    value = *bytes;
  }
  const std::string refused = field->set(settings, value);
  return refused.empty() ? refused : assignment + ": " + refused;
}

int Set(const CommandLine& line, std::ostream& err) {
  const std::string path = FilePath(line.dir);
  SettingsFileImage image = ReadSettingsFileImage(path);
  const std::string intro = std::string(kSettingsToolName) + ": ";
  if (image.state == SettingsFileState::kUnreadable) {
    err << intro << kSettingsFileName << " in " << Where(line.dir)
        << " could not be read; nothing was changed\n";
    return kToolRefused;
  }
  bool refused = false;
  for (const std::string& assignment : line.assignments) {
    const std::string reason = Apply(image.settings, assignment);
    if (reason.empty()) continue;
    err << intro << reason << "\n";
    refused = true;
  }
  if (refused) {
    err << intro << "nothing was changed\n";
    return kToolRefused;
  }
  if (image.state == SettingsFileState::kShort) {
    err << intro << kSettingsFileName << " in " << Where(line.dir) << " was shorter than "
        << kSettingsSize << " bytes; it now holds a whole record, all zero but these fields\n";
  }
  if (!ReplaceSettingsFile(path, image)) {
    err << intro << "could not write " << kSettingsFileName << " in " << Where(line.dir)
        << "; it is as it was\n";
    return kToolRefused;
  }
  return 0;
}

}  // namespace

int RunSettingsTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    PrintUsage(out);
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << kSettingsToolName << " " << ProgramVersion() << "\n";
    return 0;
  }
  const std::optional<CommandLine> line = ParseCommandLine(args, err);
  if (!line) {
    PrintUsage(err);
    return kToolUsage;
  }
  return line->verb == "show" ? Show(*line, out, err) : Set(*line, err);
}

}  // namespace qs
