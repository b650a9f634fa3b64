// Lock files of the serial convention ("LCK..ttyUSB0" holding the owner's PID), which keep out
// programs that neither flock a device nor respect TIOCEXCL.
#pragma once

#include <optional>
#include <string>

namespace qs::platform::posix {

// One device's lock file while this process holds it; removed when the object goes, and at
// exit for whatever is still held.
class DeviceLock {
 public:
  // Takes the lock of the device that devicePath names (after its symbolic links), taking
  // over a lock whose owner has died. nullopt when a live process holds it (or this process
  // holds it for another port). A lock that cannot be written (no folder, no permission)
  // gives an empty DeviceLock: the device is used without one. Without a lock folder (see
  // LockDirectory) ports are opened without lock files.
  static std::optional<DeviceLock> Acquire(const std::string& devicePath);

  DeviceLock() = default;
  ~DeviceLock() { Release(); }
  DeviceLock(DeviceLock&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  DeviceLock& operator=(DeviceLock&& other) noexcept;
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

  // Removes the lock file, if there is one. Idempotent.
  void Release();
  // The lock file held, or "" for none.
  const std::string& path() const { return path_; }

 private:
  explicit DeviceLock(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace qs::platform::posix
