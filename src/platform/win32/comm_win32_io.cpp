// Reading, waiting for input and writing on Win32, with the driver's own time-outs.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>

#include "platform/common/read_failure.h"
#include "platform/win32/comm_win32_port.h"

namespace qs::platform::win32 {
namespace {

// A wait for input is meant to be short; longer limits are cut to this.
constexpr auto kLongestInputWait = std::chrono::milliseconds(60'000);
// How often a wait for input looks at the queue when the driver reports no events.
constexpr DWORD kNapSliceMs = 10;
// Write events kept for later writes: as many as writers usually run at once.
constexpr std::size_t kKeptWriteEvents = 4;

}  // namespace

long Win32CommPort::Read(std::uint8_t* buffer, std::size_t size) {
  Use use(*this);
  if (!use) return -1;
  DWORD wanted = static_cast<DWORD>(
      size < std::numeric_limits<DWORD>::max() ? size : std::numeric_limits<DWORD>::max());
  const ReadRule rule = readRule_.load();
  DWORD queued = 0;
  // A driver that cannot count its queue gets the read as it is: a failure shows there.
  if (rule != ReadRule::kDriver && wanted > 0 && QueuedInput(use.handle(), queued)) {
    if (queued > 0) {
      wanted = std::min(wanted, queued);  // there already: the driver's read ends at once
    } else if (rule == ReadRule::kQueuedOnly) {
      return 0;
    } else if (rule == ReadRule::kQueuedOrFirst) {
      wanted = 1;
    }
  }
  return ReadFromDriver(use, buffer, wanted);
}

long Win32CommPort::ReadFromDriver(const Use& use, std::uint8_t* buffer, DWORD wanted) {
  // A cancel or close since the read began: the driver's read would start after it.
  if (gate_.Stopped(use.pass())) return -1;
  // One reader per port, so one OVERLAPPED serves every read; it is free again only
  // once GetOverlappedResult has waited the I/O out.
  std::memset(&readOverlapped_, 0, sizeof readOverlapped_);
  readOverlapped_.hEvent = events_.read;
  if (!ReadFile(use.handle(), buffer, wanted, nullptr, &readOverlapped_)) {
    const DWORD error = GetLastError();
    // Anything but "pending" means no I/O was started.
    if (error == ERROR_TIMEOUT) return 0;
    if (error != ERROR_IO_PENDING) return Failed(use, error, 0);
  }
  DWORD count = 0;
  if (GetOverlappedResult(use.handle(), &readOverlapped_, &count, TRUE)) {
    return static_cast<long>(count);
  }
  // Windows reports an expired read time-out as a success with a short count; Wine
  // fails it with ERROR_TIMEOUT. Either way whatever arrived is in the buffer, and so is
  // what a cancelled read (ERROR_OPERATION_ABORTED) had read: it exists nowhere else.
  const DWORD error = GetLastError();
  if (error == ERROR_TIMEOUT) return static_cast<long>(count);
  return Failed(use, error, count);
}

bool Win32CommPort::WaitForInput(std::chrono::milliseconds limit) {
  Use use(*this);
  if (!use) return false;
  const HANDLE handle = use.handle();
  const auto deadline = Clock::now() + std::min(limit, kLongestInputWait);
  if (InputQueued(handle)) return true;
  if (commEventsWork_ && !watchingInput_) {
    watchingInput_ = SetCommMask(handle, EV_RXCHAR) != FALSE;
    commEventsWork_ = watchingInput_;
  }
  if (!commEventsWork_) return Nap(use, deadline);

  // The driver reports the first byte that comes; one that came since the look above is
  // in its record already and ends the wait at once. A cancel ends it too.
  std::memset(&inputOverlapped_, 0, sizeof inputOverlapped_);
  inputOverlapped_.hEvent = events_.input;
  DWORD events = 0;
  if (!WaitCommEvent(handle, &events, &inputOverlapped_) && GetLastError() != ERROR_IO_PENDING) {
    commEventsWork_ = false;
    return Nap(use, deadline);
  }
  const bool signalled = WaitForSingleObject(events_.input, MsUntil(deadline)) == WAIT_OBJECT_0;
  // Time is up: a new mask ends the driver's wait, which must be over before its record
  // can be used again.
  if (!signalled) SetCommMask(handle, EV_RXCHAR);
  DWORD unused = 0;
  const bool reported = GetOverlappedResult(handle, &inputOverlapped_, &unused, TRUE) != FALSE;
  if (signalled && !reported && !gate_.Cancelled(use.pass())) {
    // The driver ended the wait by itself without an event (Wine's does so at once on a
    // pty, which has no modem lines): it cannot watch this port, so nap instead.
    commEventsWork_ = false;
    return Nap(use, deadline);
  }
  return reported && (events & EV_RXCHAR) != 0;
}

bool Win32CommPort::WriteByte(std::uint8_t byte) {
  Use use(*this);
  if (!use) return false;
  // Writers may run on several threads at once: each write has its own record and event.
  // Starting a write unsignals the event, so one kept from an earlier write serves again.
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = TakeWriteEvent();
  if (overlapped.hEvent == nullptr) return false;
  DWORD written = 0;
  bool done = WriteFile(use.handle(), &byte, 1, nullptr, &overlapped) != FALSE;
  if (done || GetLastError() == ERROR_IO_PENDING) {
    // The write time-out bounds this wait; a cancel or close ends it too.
    done = GetOverlappedResult(use.handle(), &overlapped, &written, TRUE) != FALSE;
  }
  LastErrorKeeper keep;
  // The write is over (GetOverlappedResult waited it out, or it never started).
  ReturnWriteEvent(overlapped.hEvent);
  return done && written == 1;
}

HANDLE Win32CommPort::TakeWriteEvent() {
  {
    std::lock_guard lock(writeEventsMutex_);
    if (!writeEvents_.empty()) {
      const HANDLE event = writeEvents_.back();
      writeEvents_.pop_back();
      return event;
    }
  }
  return CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset, like the reader's
}

void Win32CommPort::ReturnWriteEvent(HANDLE event) {
  {
    std::lock_guard lock(writeEventsMutex_);
    if (writeEvents_.size() < kKeptWriteEvents) {
      writeEvents_.push_back(event);
      return;
    }
  }
  CloseHandle(event);
}

bool Win32CommPort::QueuedInput(HANDLE handle, DWORD& count) {
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!ClearCommError(handle, &errors, &status)) return false;
  count = status.cbInQue;
  return true;
}

bool Win32CommPort::InputQueued(HANDLE handle) {
  DWORD count = 0;
  return QueuedInput(handle, count) && count > 0;
}

// A wait for input on a driver that reports no events: looks at the input queue every
// few milliseconds, until the deadline or a cancel or close. Plain sleeps: under Wine a
// wait on an event with a time limit costs the server's time as well, 100 times a second.
bool Win32CommPort::Nap(const Use& use, Clock::time_point deadline) {
  while (!gate_.Stopped(use.pass())) {
    const DWORD left = MsUntil(deadline);
    if (left == 0) return false;
    Sleep(std::min<DWORD>(left, kNapSliceMs));
    if (InputQueued(use.handle())) return true;
  }
  return false;
}

// A failed read: notes whether the device has gone, and hands back what had come.
long Win32CommPort::Failed(const Use& use, DWORD error, DWORD count) {
  if (ReadFailureMeansGone(error, gate_.Stopped(use.pass()))) gone_.store(true);
  return count > 0 ? static_cast<long>(count) : -1;
}

DWORD Win32CommPort::MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace qs::platform::win32
