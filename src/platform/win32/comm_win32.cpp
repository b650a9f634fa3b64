// Serial ports on Win32: overlapped I/O on an exclusively opened COM device.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>

#include "platform/comm.h"
#include "platform/read_failure.h"

namespace qs::platform {
namespace {

// Dcb and CommTimeouts are the Win32 structs byte for byte; they are copied, never cast.
static_assert(sizeof(DCB) == sizeof(Dcb) && sizeof(DCB) == 28);
static_assert(sizeof(COMMTIMEOUTS) == sizeof(CommTimeouts) && sizeof(COMMTIMEOUTS) == 20);

// How long Close waits for reads and writes on other threads to let go of the handle.
constexpr auto kCloseWait = std::chrono::seconds(2);
// How often Close cancels again meanwhile: an operation may have started its I/O just
// after the previous cancel.
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);
// A wait for input is meant to be short; longer limits are cut to this.
constexpr auto kLongestInputWait = std::chrono::milliseconds(60'000);
// How often a wait for input looks at the queue when the driver reports no events.
constexpr DWORD kNapSliceMs = 10;

using Clock = std::chrono::steady_clock;

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
  // The reader's events: for its reads and for its waits for input.
  struct Events {
    HANDLE read;
    HANDLE input;
  };

  Win32CommPort(HANDLE handle, Events events) : handle_(handle), events_(events) {}

  ~Win32CommPort() override {
    Close();
    CloseEvents(events_);
  }

  static void CloseEvents(const Events& events) {
    for (const HANDLE event : {events.read, events.input}) {
      if (event != nullptr) CloseHandle(event);
    }
  }

  Win32CommPort(const Win32CommPort&) = delete;
  Win32CommPort& operator=(const Win32CommPort&) = delete;

  bool SetState(const Dcb& dcb) override {
    Use use(*this);
    if (!use) return false;
    DCB state;
    std::memcpy(&state, &dcb, sizeof state);
    return SetCommState(use.handle(), &state) != FALSE;
  }

  bool GetState(Dcb& dcb) override {
    Use use(*this);
    if (!use) return false;
    DCB state;
    std::memset(&state, 0, sizeof state);
    state.DCBlength = sizeof state;
    if (!GetCommState(use.handle(), &state)) return false;
    std::memcpy(&dcb, &state, sizeof dcb);
    return true;
  }

  bool SetTimeouts(const CommTimeouts& timeouts) override {
    Use use(*this);
    if (!use) return false;
    COMMTIMEOUTS t;
    std::memcpy(&t, &timeouts, sizeof t);
    return SetCommTimeouts(use.handle(), &t) != FALSE;
  }

  bool SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) override {
    Use use(*this);
    if (!use) return false;
    return SetupComm(use.handle(), inputSize, outputSize) != FALSE;
  }

  long Read(std::uint8_t* buffer, std::size_t size) override {
    Use use(*this);
    if (!use) return -1;
    const std::uint64_t generation = cancelGeneration_.load();
    // One reader per port, so one OVERLAPPED serves every read; it is free again only
    // once GetOverlappedResult has waited the I/O out.
    std::memset(&readOverlapped_, 0, sizeof readOverlapped_);
    readOverlapped_.hEvent = events_.read;
    const DWORD wanted = static_cast<DWORD>(
        size < std::numeric_limits<DWORD>::max() ? size : std::numeric_limits<DWORD>::max());
    if (!ReadFile(use.handle(), buffer, wanted, nullptr, &readOverlapped_)) {
      const DWORD error = GetLastError();
      // Anything but "pending" means no I/O was started.
      if (error == ERROR_TIMEOUT) return 0;
      if (error != ERROR_IO_PENDING) return Failed(error, generation, 0);
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
    return Failed(error, generation, count);
  }

  bool Gone() const override { return gone_.load(); }

  bool WaitForInput(std::chrono::milliseconds limit) override {
    Use use(*this);
    if (!use) return false;
    const HANDLE handle = use.handle();
    const std::uint64_t generation = cancelGeneration_.load();
    const auto deadline = Clock::now() + std::min(limit, kLongestInputWait);
    if (InputQueued(handle)) return true;
    if (commEventsWork_ && !watchingInput_) {
      watchingInput_ = SetCommMask(handle, EV_RXCHAR) != FALSE;
      commEventsWork_ = watchingInput_;
    }
    if (!commEventsWork_) return Nap(handle, generation, deadline);

    // The driver reports the first byte that comes; one that came since the look above is
    // in its record already and ends the wait at once. A cancel ends it too.
    std::memset(&inputOverlapped_, 0, sizeof inputOverlapped_);
    inputOverlapped_.hEvent = events_.input;
    DWORD events = 0;
    if (!WaitCommEvent(handle, &events, &inputOverlapped_) && GetLastError() != ERROR_IO_PENDING) {
      commEventsWork_ = false;
      return Nap(handle, generation, deadline);
    }
    const bool signalled = WaitForSingleObject(events_.input, MsUntil(deadline)) == WAIT_OBJECT_0;
    // Time is up: a new mask ends the driver's wait, which must be over before its record
    // can be used again.
    if (!signalled) SetCommMask(handle, EV_RXCHAR);
    DWORD unused = 0;
    const bool reported = GetOverlappedResult(handle, &inputOverlapped_, &unused, TRUE) != FALSE;
    if (signalled && !reported && cancelGeneration_.load() == generation) {
      // The driver ended the wait by itself without an event (Wine's does so at once on a
      // pty, which has no modem lines): it cannot watch this port, so nap instead.
      commEventsWork_ = false;
      return Nap(handle, generation, deadline);
    }
    return reported && (events & EV_RXCHAR) != 0;
  }

  bool WriteByte(std::uint8_t byte) override {
    Use use(*this);
    if (!use) return false;
    // Writers may run on several threads at once: each write has its own record and event.
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent =
        CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset, like the reader's
    if (overlapped.hEvent == nullptr) return false;
    DWORD written = 0;
    bool done = WriteFile(use.handle(), &byte, 1, nullptr, &overlapped) != FALSE;
    if (done || GetLastError() == ERROR_IO_PENDING) {
      // The write time-out bounds this wait; a cancel or close ends it too.
      done = GetOverlappedResult(use.handle(), &overlapped, &written, TRUE) != FALSE;
    }
    LastErrorKeeper keep;
    CloseHandle(overlapped.hEvent);
    return done && written == 1;
  }

  bool CancelIo() override {
    Use use(*this);
    if (!use) return true;  // closed: nothing left to cancel
    cancelGeneration_.fetch_add(1);
    return CancelIoEx(use.handle(), nullptr) != FALSE || GetLastError() == ERROR_NOT_FOUND;
  }

  void Close() override {
    const HANDLE handle = handle_.exchange(nullptr);
    if (handle == nullptr) return;
    // Operations still running hold the old handle value: it stays open until they have
    // returned, so none of them can ever touch a handle that was closed and reused.
    {
      std::unique_lock lock(mutex_);
      const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
      while (inFlight_.load() != 0 && std::chrono::steady_clock::now() < deadline) {
        CancelIoEx(handle, nullptr);
        idle_.wait_for(lock, kCancelRepeat, [this] { return inFlight_.load() == 0; });
      }
    }
    CloseHandle(handle);
  }

  bool EscapeFunction(int function) override {
    Use use(*this);
    if (!use) return false;
    return EscapeCommFunction(use.handle(), static_cast<DWORD>(function)) != FALSE;
  }

  bool GetModemStatus(std::uint32_t& status) override {
    Use use(*this);
    if (!use) return false;
    DWORD bits = 0;
    if (!GetCommModemStatus(use.handle(), &bits)) return false;
    status = bits;
    return true;
  }

  bool Purge(std::uint32_t flags) override {
    Use use(*this);
    if (!use) return false;
    return PurgeComm(use.handle(), flags) != FALSE;
  }

 private:
  // Bytes waiting in the driver's input queue.
  static bool InputQueued(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    return ClearCommError(handle, &errors, &status) && status.cbInQue > 0;
  }

  // A wait for input on a driver that reports no events: looks at the input queue every
  // few milliseconds, until the deadline or a cancel or close. Plain sleeps: under Wine a
  // wait on an event with a time limit costs the server's time as well, 100 times a second.
  bool Nap(HANDLE handle, std::uint64_t generation, Clock::time_point deadline) {
    while (cancelGeneration_.load() == generation && handle_.load() != nullptr) {
      const DWORD left = MsUntil(deadline);
      if (left == 0) return false;
      Sleep(std::min<DWORD>(left, kNapSliceMs));
      if (InputQueued(handle)) return true;
    }
    return false;
  }

  // A failed read: notes whether the device has gone, and hands back what had come.
  long Failed(DWORD error, std::uint64_t generation, DWORD count) {
    const bool cancelled = cancelGeneration_.load() != generation || handle_.load() == nullptr;
    if (ReadFailureMeansGone(error, cancelled)) gone_.store(true);
    return count > 0 ? static_cast<long>(count) : -1;
  }

  static DWORD MsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
  }

  // One operation on the handle: counted in flight first, then the handle is read, so
  // Close either sees the operation or the operation sees the port closed.
  class Use {
   public:
    explicit Use(Win32CommPort& port) : port_(port) {
      port_.inFlight_.fetch_add(1);
      handle_ = port_.handle_.load();
      if (handle_ == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    }
    ~Use() {
      if (port_.inFlight_.fetch_sub(1) == 1 && port_.handle_.load() == nullptr) {
        std::lock_guard lock(port_.mutex_);
        port_.idle_.notify_all();
      }
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE handle() const { return handle_; }

   private:
    Win32CommPort& port_;
    HANDLE handle_ = nullptr;
  };

  std::atomic<HANDLE> handle_;
  std::atomic<int> inFlight_{0};
  std::atomic<std::uint64_t> cancelGeneration_{0};
  std::atomic<bool> gone_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
  const Events events_;
  // Used only by the one reader thread.
  OVERLAPPED readOverlapped_{};
  OVERLAPPED inputOverlapped_{};
  bool commEventsWork_ = true;  // false once the driver has shown it reports no events
  bool watchingInput_ = false;  // the event mask is set
};

class Win32Comm final : public CommApi {
 public:
  bool BuildCommDcbAndTimeouts(const std::string& mode, Dcb& dcb, CommTimeouts& timeouts) override {
    // The API would see only the part before a NUL: that is a different string.
    if (mode.find('\0') != std::string::npos) return false;
    DCB state;
    COMMTIMEOUTS t;
    std::memcpy(&state, &dcb, sizeof state);
    std::memcpy(&t, &timeouts, sizeof t);
    if (!BuildCommDCBAndTimeoutsA(mode.c_str(), &state, &t)) return false;
    std::memcpy(&dcb, &state, sizeof dcb);
    std::memcpy(&timeouts, &t, sizeof timeouts);
    return true;
  }

  // Windows has COM names only, and its device names do not care about case.
  bool IsDevicePath(const std::string&) const override { return false; }

  std::unique_ptr<CommPort> Open(const std::string& devicePath) override {
    const HANDLE handle =
        CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // All auto-reset, not signalled, unnamed.
    const Win32CommPort::Events events{CreateEventA(nullptr, FALSE, FALSE, nullptr),
                                       CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    if (events.read == nullptr || events.input == nullptr) {
      LastErrorKeeper keep;
      Win32CommPort::CloseEvents(events);
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<Win32CommPort>(handle, events);
  }
};

}  // namespace

CommApi& SystemComm() {
  static Win32Comm comm;
  return comm;
}

}  // namespace qs::platform
