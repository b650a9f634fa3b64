// The locked settings record.
#include "settings/settings_store.h"

namespace qs {

Settings SettingsStore::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

void SettingsStore::Replace(const Settings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  record_ = settings;
}

std::string SettingsStore::LogFilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FieldText(record_.logFilePath);
}

std::string SettingsStore::PortName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return FieldText(record_.portName);
}

}  // namespace qs
