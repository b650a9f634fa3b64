// "setuplite.dat": no header, no version, no checksum; just the 236 bytes of the record.
#include "settings/settings_file.h"

#include <cstdio>
#include <cstring>

namespace qs {

Settings ReadSettingsFile(const std::string& path) {
  Settings settings{};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return settings;
  unsigned char image[kSettingsSize] = {};
  const std::size_t got = std::fread(image, 1, sizeof image, file);
  std::fclose(file);
  // A short file counts as no file: no partly read record survives.
  if (got == sizeof image) std::memcpy(&settings, image, sizeof image);
  return settings;
}

void WriteSettingsFile(const std::string& path, const Settings& settings) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  std::fwrite(&settings, 1, sizeof settings, file);
  std::fclose(file);
}

void LoadSettings(SettingsStore& store) {
  store.Replace(ReadSettingsFile(kSettingsFileName));
}

void SaveSettings(const SettingsStore& store) {
  WriteSettingsFile(kSettingsFileName, store.Snapshot());
}

}  // namespace qs
