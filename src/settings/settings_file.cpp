// "setuplite.dat": no header, no version, no checksum; just the 236 bytes of the record.
#include "settings/settings_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file.h"

namespace qs {

SettingsFileImage ReadSettingsFileImage(const std::string& path) {
  SettingsFileImage image;
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    image.state = errno == ENOENT ? SettingsFileState::kMissing : SettingsFileState::kUnreadable;
    return image;
  }
  unsigned char record[kSettingsSize] = {};
  const std::size_t got = std::fread(record, 1, sizeof record, file);
  // A short file counts as no file: no partly read record survives.
  if (got == sizeof record) {
    std::memcpy(&image.settings, record, sizeof record);
    image.state = SettingsFileState::kRead;
    char rest[512];
    std::size_t more;
    while ((more = std::fread(rest, 1, sizeof rest, file)) > 0) image.trailing.append(rest, more);
  } else {
    image.state = SettingsFileState::kShort;
  }
  std::fclose(file);
  return image;
}

Settings ReadSettingsFile(const std::string& path) {
  return ReadSettingsFileImage(path).settings;
}

void WriteSettingsFile(const std::string& path, const Settings& settings) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  std::fwrite(&settings, 1, sizeof settings, file);
  std::fclose(file);
}

bool ReplaceSettingsFile(const std::string& path, const SettingsFileImage& image) {
  std::string bytes(reinterpret_cast<const char*>(&image.settings), sizeof image.settings);
  bytes += image.trailing;
  return platform::ReplaceFileContents(path, bytes);
}

SettingsFileState LoadSettings(SettingsStore& store) {
  const SettingsFileImage image = ReadSettingsFileImage(kSettingsFileName);
  store.Replace(image.settings);
  return image.state;
}

void SaveSettings(const SettingsStore& store) {
  WriteSettingsFile(kSettingsFileName, store.Snapshot());
}

}  // namespace qs
