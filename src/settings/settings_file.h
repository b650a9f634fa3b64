// Reading and writing "setuplite.dat", the settings record's image on disk.
#pragma once

#include <string>

#include "settings/settings.h"
#include "settings/settings_store.h"

namespace qs {

// A relative name: the file lives in the working directory, not beside the program.
inline constexpr const char* kSettingsFileName = "setuplite.dat";

// The record held by the file at path; all zero when the file is missing, unreadable or
// shorter than the record. A longer file gives its first 236 bytes.
Settings ReadSettingsFile(const std::string& path);

// Replaces the file's content with the record. A file that cannot be opened is left as
// it is; the caller is not told (the record in memory stays the one in force).
void WriteSettingsFile(const std::string& path, const Settings& settings);

// Start-up's load and the settings dialog's save, on "setuplite.dat".
void LoadSettings(SettingsStore& store);
void SaveSettings(const SettingsStore& store);

}  // namespace qs
