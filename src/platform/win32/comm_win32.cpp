// Serial ports on Win32: overlapped I/O on an exclusively opened COM device.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>

#include "platform/comm.h"

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
  Win32CommPort(HANDLE handle, HANDLE readEvent) : handle_(handle), readEvent_(readEvent) {}

  ~Win32CommPort() override {
    Close();
    CloseHandle(readEvent_);
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
    // One reader per port, so one OVERLAPPED serves every read; it is free again only
    // once GetOverlappedResult has waited the I/O out.
    std::memset(&readOverlapped_, 0, sizeof readOverlapped_);
    readOverlapped_.hEvent = readEvent_;
    const DWORD wanted = static_cast<DWORD>(
        size < std::numeric_limits<DWORD>::max() ? size : std::numeric_limits<DWORD>::max());
    if (!ReadFile(use.handle(), buffer, wanted, nullptr, &readOverlapped_)) {
      const DWORD error = GetLastError();
      // Anything but "pending" means no I/O was started.
      if (error == ERROR_TIMEOUT) return 0;
      if (error != ERROR_IO_PENDING) return -1;
    }
    DWORD count = 0;
    if (GetOverlappedResult(use.handle(), &readOverlapped_, &count, TRUE)) {
      return static_cast<long>(count);
    }
    // Windows reports an expired read time-out as a success with a short count; Wine
    // fails it with ERROR_TIMEOUT. Either way whatever arrived is in the buffer.
    if (GetLastError() == ERROR_TIMEOUT) return static_cast<long>(count);
    return -1;
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
  std::mutex mutex_;
  std::condition_variable idle_;
  // Used only by the one reader thread.
  const HANDLE readEvent_;
  OVERLAPPED readOverlapped_{};
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

  std::unique_ptr<CommPort> Open(const std::string& devicePath) override {
    const HANDLE handle =
        CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    const HANDLE readEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (readEvent == nullptr) {
      LastErrorKeeper keep;
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<Win32CommPort>(handle, readEvent);
  }
};

}  // namespace

CommApi& SystemComm() {
  static Win32Comm comm;
  return comm;
}

}  // namespace qs::platform
