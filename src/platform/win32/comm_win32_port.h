// An open serial device on Win32: overlapped I/O on an exclusively opened COM handle.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/comm.h"
#include "platform/common/operation_gate.h"

namespace qs::platform::win32 {

// Keeps the last-error value of a failed call across the clean-up that follows it.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(error_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD error_;
};

class Win32CommPort final : public CommPort {
 public:
  // The reader's events: for its reads and for its waits for input; and a first one for
  // writes.
  struct Events {
    HANDLE read;
    HANDLE input;
    HANDLE write;
  };

  // How a read goes. Time-outs that return at once with buffered bytes are kept here, on top
  // of plain driver time-outs (Wine's driver keeps none of them: it waits for every byte
  // asked, or for a timer it computes as never ending).
  enum class ReadRule : std::uint8_t {
    kDriver,         // the driver's time-outs are the ones set: one read as asked
    kQueuedOnly,     // what is buffered, at once, possibly nothing
    kQueuedOrFirst,  // what is buffered, else the first byte to come, within the driver's timer
    kQueuedOrAll,    // what is buffered, else as many as asked, within the driver's timer
  };
  struct ReadPlan {
    CommTimeouts driver;
    ReadRule rule;
  };
  // The driver time-outs and the rule that read as timeouts say. False for time-outs
  // Windows refuses.
  static bool PlanReads(const CommTimeouts& timeouts, ReadPlan& plan);

  Win32CommPort(HANDLE handle, Events events)
      : handle_(handle), events_(events), writeEvents_{events.write} {}
  ~Win32CommPort() override;
  static void CloseEvents(const Events& events);

  Win32CommPort(const Win32CommPort&) = delete;
  Win32CommPort& operator=(const Win32CommPort&) = delete;

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
  class Use;

  // Bytes waiting in the driver's input queue; false when the driver cannot tell.
  static bool QueuedInput(HANDLE handle, DWORD& count);
  static bool InputQueued(HANDLE handle);
  long ReadFromDriver(const Use& use, std::uint8_t* buffer, DWORD wanted);
  // A read whose first byte the wait for input has read already.
  long ReadAfter(const Use& use, std::uint8_t first, std::uint8_t* buffer, DWORD wanted);
  bool WaitByReading(const Use& use, Clock::time_point deadline);
  // An event for one write, from those kept, or a new one; and back afterwards.
  HANDLE TakeWriteEvent();
  void ReturnWriteEvent(HANDLE event);
  bool Nap(const Use& use, Clock::time_point deadline);
  long Failed(const Use& use, DWORD error, DWORD count);
  static DWORD MsUntil(Clock::time_point deadline);

  // The handle stays open until every operation that was let in has returned, so none of
  // them can ever touch a handle that was closed and reused.
  const HANDLE handle_;
  OperationGate gate_;
  std::atomic<bool> gone_{false};
  const Events events_;
  std::atomic<ReadRule> readRule_{ReadRule::kDriver};
  // The driver time-outs the reads are to have; a wait for input sets its own for a while.
  std::mutex timeoutsMutex_;
  CommTimeouts driverTimeouts_{};
  // A byte that a wait for input has read, for the next read; a purge of input drops it.
  static constexpr int kNoByte = -1;
  std::atomic<int> readAhead_{kNoByte};
  // Events of writes that have finished, for the next ones: writers on several threads each
  // take one for the length of a write. Creating and closing one per byte costs two calls of
  // Wine's server.
  std::mutex writeEventsMutex_;
  std::vector<HANDLE> writeEvents_;
  // Used only by the one reader thread.
  OVERLAPPED readOverlapped_{};
  OVERLAPPED inputOverlapped_{};
  bool commEventsWork_ = true;  // false once the driver has shown it reports no events
  bool watchingInput_ = false;  // the event mask is set
};

// One operation on the handle, let in unless the port is closed (then it fails with
// ERROR_INVALID_HANDLE).
class Win32CommPort::Use {
 public:
  explicit Use(Win32CommPort& port) : pass_(port.gate_), handle_(pass_ ? port.handle_ : nullptr) {
    if (handle_ == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE handle() const { return handle_; }
  const OperationGate::Pass& pass() const { return pass_; }

 private:
  OperationGate::Pass pass_;
  HANDLE handle_;
};

}  // namespace qs::platform::win32
