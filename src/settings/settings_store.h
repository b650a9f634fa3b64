// The one shared settings record, read by every thread and written by the user-interface thread.
#pragma once

#include <mutex>
#include <string>

#include "settings/settings.h"

namespace qs {

// Every access takes the lock, so a reader always sees one whole record: no torn text
// while the settings dialog writes a new path, no data race between threads.
class SettingsStore {
 public:
  SettingsStore() = default;
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  Settings Snapshot() const;
  void Replace(const Settings& settings);

  // Changes the record in place under the lock; fn gets a Settings&.
  template <typename Fn>
  void Update(Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(record_);
  }

  std::string LogFilePath() const;
  std::string PortName() const;

 private:
  mutable std::mutex mutex_;
  Settings record_{};
};

}  // namespace qs
