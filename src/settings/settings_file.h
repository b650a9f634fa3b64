// Reading and writing "setuplite.dat", the settings record's image on disk.
#pragma once

#include <string>

#include "settings/settings.h"
#include "settings/settings_store.h"

namespace qs {

// A relative name: the file lives in the working directory, not beside the program.
inline constexpr const char* kSettingsFileName = "setuplite.dat";

// What a read found. Every state but kRead gives the all-zero record.
enum class SettingsFileState {
  kRead,        // the record taken whole
  kMissing,     // no such file
  kUnreadable,  // there, but could not be opened
  kShort,       // fewer bytes than the record
};

// The file as a read saw it: the record, and the bytes behind it in a longer file, which
// the program ignores and an edit of the file keeps.
struct SettingsFileImage {
  SettingsFileState state = SettingsFileState::kMissing;
  Settings settings{};
  std::string trailing;
};

SettingsFileImage ReadSettingsFileImage(const std::string& path);

// The record held by the file at path; all zero when the file is missing, unreadable or
// shorter than the record. A longer file gives its first 236 bytes.
Settings ReadSettingsFile(const std::string& path);

// Replaces the file's content with the record. A file that cannot be opened is left as
// it is; the caller is not told (the record in memory stays the one in force).
void WriteSettingsFile(const std::string& path, const Settings& settings);

// Writes the image whole into a new file that then takes the old one's place, so a reader
// sees the old content or the new one, never a part. False when that failed; the old file
// is then as it was.
bool ReplaceSettingsFile(const std::string& path, const SettingsFileImage& image);

// Start-up's load and the settings dialog's save, on "setuplite.dat". The load tells what
// it found.
SettingsFileState LoadSettings(SettingsStore& store);
void SaveSettings(const SettingsStore& store);

}  // namespace qs
