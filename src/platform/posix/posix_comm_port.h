// An open serial device on POSIX: termios settings, Windows read/write time-outs, cancel.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/comm.h"
#include "platform/posix/device_lock.h"

namespace qs::platform::posix {

class PosixCommPort final : public CommPort {
 public:
  // Takes an open, locked terminal descriptor and the device's lock file, puts the line in
  // raw mode and returns the port, which removes the lock file once closed; on failure
  // closes fd, removes the lock file and returns nullptr.
  static std::unique_ptr<PosixCommPort> Adopt(int fd, DeviceLock lock = {});

  ~PosixCommPort() override;
  PosixCommPort(const PosixCommPort&) = delete;
  PosixCommPort& operator=(const PosixCommPort&) = delete;

  bool SetState(const Dcb& dcb) override;
  bool GetState(Dcb& dcb) override;
  bool SetTimeouts(const CommTimeouts& timeouts) override;
  bool SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) override;
  long Read(std::uint8_t* buffer, std::size_t size) override;
  bool Gone() const override { return gone_.load(); }
  bool WaitForInput(std::chrono::milliseconds limit) override;
  bool WriteByte(std::uint8_t byte) override;
  bool CancelIo() override;
  void Close() override;
  bool EscapeFunction(int function) override;
  bool GetModemStatus(std::uint32_t& status) override;
  bool Purge(std::uint32_t flags) override;

 private:
  using Clock = std::chrono::steady_clock;
  using Deadline = std::optional<Clock::time_point>;
  class Operation;
  enum class Wait { kReady, kTimedOut, kAborted, kFailed };

  PosixCommPort(int fd, int wakeFd, DeviceLock lock);

  void EndOperation(std::uint64_t generation);
  bool Aborted(const Operation& op);
  void WaitOutStaleWakeUp(const Operation& op);
  Wait WaitFor(const Operation& op, short events, Deadline deadline);
  bool WaitUntilSent(const Operation& op, Deadline deadline);
  CommTimeouts Timeouts();
  static void DiscardHeldOutput(int fd);
  void SignalWake();
  void DrainWake();

  // Life cycle: which operations are running and whether they must stop. The descriptors
  // change only here, under mu_, once no operation is in flight.
  std::mutex mu_;
  std::condition_variable idle_;
  int fd_;
  int wakeFd_;  // an eventfd that is readable while a cancel or close is pending
  bool closed_ = false;
  std::atomic<bool> gone_{false};  // a read saw a hang-up or an I/O error
  int inFlight_ = 0;
  int staleOps_ = 0;  // operations in flight that a CancelIo has cancelled
  std::uint64_t cancelGeneration_ = 0;
  DeviceLock lock_;  // released once the descriptor is closed

  // Settings with no termios twin, and the time-outs.
  std::mutex configMu_;
  Dcb kept_;
  CommTimeouts timeouts_{};
};

// Registers a call that uses the descriptor, so that Close waits for it; remembers the
// cancel generation it started in, so that only a CancelIo issued meanwhile stops it.
class PosixCommPort::Operation {
 public:
  explicit Operation(PosixCommPort& port) : port_(port) {
    std::lock_guard lock(port.mu_);
    if (port.closed_) return;
    ++port.inFlight_;
    generation_ = port.cancelGeneration_;
    fd_ = port.fd_;
    wakeFd_ = port.wakeFd_;
    active_ = true;
  }
  ~Operation() {
    if (active_) port_.EndOperation(generation_);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  explicit operator bool() const { return active_; }
  int fd() const { return fd_; }
  int wakeFd() const { return wakeFd_; }
  std::uint64_t generation() const { return generation_; }

 private:
  PosixCommPort& port_;
  bool active_ = false;
  int fd_ = -1;
  int wakeFd_ = -1;
  std::uint64_t generation_ = 0;
};

}  // namespace qs::platform::posix
