// An open serial device on POSIX: termios settings, Windows read/write time-outs, cancel.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/comm.h"
#include "platform/common/operation_gate.h"
#include "platform/posix/comm_posix_lock.h"

namespace qs::platform::posix {

class PosixCommPort final : public CommPort, private OperationGate::Waker {
 public:
  // Takes an open, locked terminal descriptor and the device's lock file, puts the line in
  // raw mode and returns the port, which removes the lock file once closed; on failure
  // closes fd, removes the lock file and returns nullptr.
  static std::unique_ptr<PosixCommPort> Adopt(int fd, DeviceLock lock);

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

  bool Aborted(const Operation& op) const;
  void WaitOutStaleWakeUp(const Operation& op);
  Wait WaitFor(const Operation& op, short events, Deadline deadline);
  bool WaitForRoom(const Operation& op, Deadline deadline);
  void NoteQueuedUntil(Clock::time_point deadline);
  // read(2) on the device, served from the bytes read ahead first.
  ssize_t ReadDevice(int fd, std::uint8_t* buffer, std::size_t size);
  std::size_t TakeAhead(std::uint8_t* buffer, std::size_t size);
  void KeepAhead(const std::uint8_t* bytes, std::size_t count, std::uint64_t purges);
  void DropAhead();  // under aheadMu_
  bool HoldsAhead();
  std::chrono::nanoseconds CharTime() const;
  CommTimeouts Timeouts();
  void DiscardHeldOutput(int fd);
  // The wake-up eventfd, readable while a cancel or close is pending (under the gate's lock).
  void Wake() override;
  void Settle() override;

  // Which operations are running and whether they must stop. The descriptors change only
  // under closeMu_, once the gate is shut and no operation is in flight.
  OperationGate gate_{this};
  std::mutex closeMu_;
  int fd_;
  int wakeFd_;
  std::atomic<bool> gone_{false};  // a read saw a hang-up or an I/O error
  // The last read left nothing in the driver's queue: the next one waits before it reads.
  std::atomic<bool> inputDrained_{false};
  // Bytes read from the device ahead of the reader, as a driver's input queue holds them: one
  // read of the device serves several reads of the port, each still at most what its caller
  // asked for. A purge of the input drops them.
  static constexpr std::size_t kReadAhead = 4096;
  std::mutex aheadMu_;
  std::vector<std::uint8_t> ahead_;       // under aheadMu_, from aheadFirst_ on
  std::size_t aheadFirst_ = 0;            // under aheadMu_
  std::uint64_t aheadPurges_ = 0;         // under aheadMu_: purges_ before they were read
  std::atomic<std::uint64_t> purges_{0};  // purges of the input so far
  // One character's time on the line at the rate last set, in nanoseconds (0: unknown).
  std::atomic<std::int64_t> charTimeNs_{0};
  // The latest write time-out of a byte handed on, on Clock: Close lets it leave until then.
  std::atomic<Clock::rep> latestWriteDeadline_{std::numeric_limits<Clock::rep>::min()};
  DeviceLock lock_;  // released once the descriptor is closed

  // Settings with no termios twin, and the time-outs.
  std::mutex configMu_;
  Dcb kept_;
  CommTimeouts timeouts_{};
};

// A call that uses the descriptor: Close waits for it, and only a CancelIo issued since it
// began stops it.
class PosixCommPort::Operation {
 public:
  explicit Operation(PosixCommPort& port)
      : pass_(port.gate_), fd_(pass_ ? port.fd_ : -1), wakeFd_(pass_ ? port.wakeFd_ : -1) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  explicit operator bool() const { return static_cast<bool>(pass_); }
  int fd() const { return fd_; }
  int wakeFd() const { return wakeFd_; }
  const OperationGate::Pass& pass() const { return pass_; }

 private:
  OperationGate::Pass pass_;
  int fd_;
  int wakeFd_;
};

}  // namespace qs::platform::posix
