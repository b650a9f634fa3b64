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
  if (wanted > 0) {
    const int early = readAhead_.exchange(kNoByte);
    if (early != kNoByte) return ReadAfter(use, static_cast<std::uint8_t>(early), buffer, wanted);
  }
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

long Win32CommPort::ReadAfter(const Use& use, std::uint8_t first, std::uint8_t* buffer,
                              DWORD wanted) {
  // The wait for input read the first byte already. What came behind it follows at once; a
  // read left to the driver's time-outs waits for the rest as if the byte had just come.
  buffer[0] = first;
  if (wanted == 1) return 1;
  DWORD more = wanted - 1;
  if (readRule_.load() != ReadRule::kDriver) {
    DWORD queued = 0;
    if (!QueuedInput(use.handle(), queued) || queued == 0) return 1;
    more = std::min(more, queued);
  }
  // A failure here keeps the byte in hand: it exists nowhere else.
  const long count = ReadFromDriver(use, buffer + 1, more);
  return 1 + (count > 0 ? count : 0);
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
  if (readAhead_.load() != kNoByte) return true;
  // The read that waits ends at once for bytes already there: no look at the queue first.
  if (!commEventsWork_) return WaitByReading(use, deadline);
  if (InputQueued(handle)) return true;
  if (!watchingInput_) {
    watchingInput_ = SetCommMask(handle, EV_RXCHAR) != FALSE;
    commEventsWork_ = watchingInput_;
  }
  if (!commEventsWork_) return WaitByReading(use, deadline);
  // The driver reports the first byte that comes; one that came since the look above is
  // in its record already and ends the wait at once. A cancel ends it too.
  std::memset(&inputOverlapped_, 0, sizeof inputOverlapped_);
  inputOverlapped_.hEvent = events_.input;
  DWORD events = 0;
  if (!WaitCommEvent(handle, &events, &inputOverlapped_) && GetLastError() != ERROR_IO_PENDING) {
    commEventsWork_ = false;
    return WaitByReading(use, deadline);
  }
  const bool signalled = WaitForSingleObject(events_.input, MsUntil(deadline)) == WAIT_OBJECT_0;
  // Time is up: a new mask ends the driver's wait, which must be over before its record
  // can be used again.
  if (!signalled) SetCommMask(handle, EV_RXCHAR);
  DWORD unused = 0;
  const bool reported = GetOverlappedResult(handle, &inputOverlapped_, &unused, TRUE) != FALSE;
  if (signalled && !reported && !gate_.Cancelled(use.pass())) {
    // The driver ended the wait by itself without an event (Wine's does so at once on a
    // pty, which has no modem lines): it cannot watch this port, so read instead.
    commEventsWork_ = false;
    return WaitByReading(use, deadline);
  }
  return reported && (events & EV_RXCHAR) != 0;
}

bool Win32CommPort::WriteByte(std::uint8_t byte) {
  Use use(*this);
  if (!use) return false;
  // Writers may run on several threads at once: each write has its own record and event.
  // Starting a write unsignals the event, so one kept from an earlier write serves again.
  const HANDLE event = TakeWriteEvent();
  if (event == nullptr) return false;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  // The low bit keeps the write off any completion port: posting there is one more call
  // of Wine's server per byte, for a port that has none.
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  DWORD written = 0;
  bool done = WriteFile(use.handle(), &byte, 1, nullptr, &overlapped) != FALSE;
  if (done || GetLastError() == ERROR_IO_PENDING) {
    // Without a wait for a write that is over already; else the write time-out bounds the
    // wait, and a cancel or close ends it too.
    done = GetOverlappedResult(use.handle(), &overlapped, &written, TRUE) != FALSE;
  }
  LastErrorKeeper keep;
  // The write is over (it finished at once, GetOverlappedResult waited it out, or it never
  // started).
  ReturnWriteEvent(event);
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

// A wait for input on a driver that reports no events: a read of one byte with only a total
// timer, the time left, which the driver ends when a byte comes. The byte waits for the next
// Read. Nothing wakes the program meanwhile: under Wine its server watches the line. A
// driver that refuses the timer is looked at every few milliseconds instead.
bool Win32CommPort::WaitByReading(const Use& use, Clock::time_point deadline) {
  const DWORD left = MsUntil(deadline);
  if (left == 0) return InputQueued(use.handle());
  bool timerSet = false;
  {
    std::lock_guard lock(timeoutsMutex_);
    COMMTIMEOUTS wait;
    std::memcpy(&wait, &driverTimeouts_, sizeof wait);
    wait.ReadIntervalTimeout = 0;
    wait.ReadTotalTimeoutMultiplier = 0;
    wait.ReadTotalTimeoutConstant = left;
    timerSet = SetCommTimeouts(use.handle(), &wait) != FALSE;
  }
  if (!timerSet) return Nap(use, deadline);
  std::uint8_t byte = 0;
  const long count = ReadFromDriver(use, &byte, 1);
  {
    // Back to the time-outs the reads are to have, the latest ones if they changed meanwhile.
    std::lock_guard lock(timeoutsMutex_);
    COMMTIMEOUTS reads;
    std::memcpy(&reads, &driverTimeouts_, sizeof reads);
    SetCommTimeouts(use.handle(), &reads);
  }
  if (count <= 0) return false;
  readAhead_.store(byte);
  return true;
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
