// The settings tool: shows and changes "setuplite.dat" in a folder, with the dialog's rules.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qs {

inline constexpr const char* kSettingsToolName = "quillon-smart-settings";
inline constexpr int kToolRefused = 1;  // a value refused, a file not read or not written
inline constexpr int kToolUsage = 2;    // a command line it does not understand

// Runs one command line (without the program's name): "show [--dir D]" prints every field
// as field=value; "set [--dir D] field=value..." changes the fields and writes the file
// whole, or refuses and leaves it as it was. Returns the exit status.
int RunSettingsTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qs
