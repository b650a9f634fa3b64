// Serial ports on Win32: exclusive open, settings, modem lines, cancel and close.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "platform/comm.h"
#include "platform/win32/comm_win32_port.h"

namespace qs::platform {
namespace win32 {
namespace {

// Dcb and CommTimeouts are the Win32 structs byte for byte; they are copied, never cast.
static_assert(sizeof(DCB) == sizeof(Dcb) && sizeof(DCB) == 28);
static_assert(sizeof(COMMTIMEOUTS) == sizeof(CommTimeouts) && sizeof(COMMTIMEOUTS) == 20);

// How long Close waits for reads and writes on other threads to let go of the handle.
constexpr auto kCloseWait = std::chrono::seconds(2);
// How often Close cancels again meanwhile: an operation may have started its I/O just
// after the previous cancel.
constexpr auto kCancelRepeat = std::chrono::milliseconds(10);
// The driver's total timer for reads of buffered bytes only.
constexpr std::uint32_t kQueuedReadBoundMs = 1;

}  // namespace

Win32CommPort::~Win32CommPort() {
  Close();
  CloseEvents(Events{events_.read, events_.input, nullptr});
  // The first write event is among these.
  for (const HANDLE event : writeEvents_) CloseHandle(event);
}

void Win32CommPort::CloseEvents(const Events& events) {
  for (const HANDLE event : {events.read, events.input, events.write}) {
    if (event != nullptr) CloseHandle(event);
  }
}

bool Win32CommPort::SetState(const Dcb& dcb) {
  Use use(*this);
  if (!use) return false;
  DCB state;
  std::memcpy(&state, &dcb, sizeof state);
  return SetCommState(use.handle(), &state) != FALSE;
}

bool Win32CommPort::GetState(Dcb& dcb) {
  Use use(*this);
  if (!use) return false;
  DCB state;
  std::memset(&state, 0, sizeof state);
  state.DCBlength = sizeof state;
  if (!GetCommState(use.handle(), &state)) return false;
  std::memcpy(&dcb, &state, sizeof dcb);
  return true;
}

bool Win32CommPort::SetTimeouts(const CommTimeouts& timeouts) {
  Use use(*this);
  if (!use) return false;
  ReadPlan plan{};
  if (!PlanReads(timeouts, plan)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  COMMTIMEOUTS t;
  std::memcpy(&t, &plan.driver, sizeof t);
  std::lock_guard lock(timeoutsMutex_);
  if (!SetCommTimeouts(use.handle(), &t)) return false;
  driverTimeouts_ = plan.driver;
  readRule_.store(plan.rule);
  return true;
}

bool Win32CommPort::PlanReads(const CommTimeouts& timeouts, ReadPlan& plan) {
  plan = ReadPlan{timeouts, ReadRule::kDriver};
  if (timeouts.ReadIntervalTimeout != kMaxDword) return true;
  const bool firstByte = timeouts.ReadTotalTimeoutMultiplier == kMaxDword;
  if (firstByte && timeouts.ReadTotalTimeoutConstant == kMaxDword) return false;
  // Bytes already buffered are read at once; only a silent line leaves the read to the
  // driver's total timer, which then runs without a gap timer.
  plan.driver.ReadIntervalTimeout = 0;
  plan.driver.ReadTotalTimeoutMultiplier = firstByte ? 0 : timeouts.ReadTotalTimeoutMultiplier;
  if (plan.driver.ReadTotalTimeoutMultiplier == 0 && plan.driver.ReadTotalTimeoutConstant == 0) {
    // Nothing to wait for on a silent line. Reads ask for the bytes counted in the queue,
    // so the timer only bounds one that a purge emptied the queue under.
    plan.driver.ReadTotalTimeoutConstant = kQueuedReadBoundMs;
    plan.rule = ReadRule::kQueuedOnly;
  } else {
    plan.rule = firstByte ? ReadRule::kQueuedOrFirst : ReadRule::kQueuedOrAll;
  }
  return true;
}

bool Win32CommPort::SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) {
  Use use(*this);
  if (!use) return false;
  return SetupComm(use.handle(), inputSize, outputSize) != FALSE;
}

bool Win32CommPort::CancelIo() {
  Use use(*this);
  if (!use) return true;  // closed: nothing left to cancel
  gate_.Cancel();
  return CancelIoEx(use.handle(), nullptr) != FALSE || GetLastError() == ERROR_NOT_FOUND;
}

void Win32CommPort::Close() {
  if (!gate_.Shut()) return;
  // Operations still running hold the handle: it stays open until they have returned.
  gate_.WaitUntilIdle(kCloseWait, kCancelRepeat, [this] { CancelIoEx(handle_, nullptr); });
  CloseHandle(handle_);
}

bool Win32CommPort::EscapeFunction(int function) {
  Use use(*this);
  if (!use) return false;
  return EscapeCommFunction(use.handle(), static_cast<DWORD>(function)) != FALSE;
}

bool Win32CommPort::GetModemStatus(std::uint32_t& status) {
  Use use(*this);
  if (!use) return false;
  DWORD bits = 0;
  if (!GetCommModemStatus(use.handle(), &bits)) return false;
  status = bits;
  return true;
}

bool Win32CommPort::Purge(std::uint32_t flags) {
  Use use(*this);
  if (!use) return false;
  if ((flags & PURGE_RXCLEAR) != 0) readAhead_.store(kNoByte);
  return PurgeComm(use.handle(), flags) != FALSE;
}

}  // namespace win32

namespace {

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
    const win32::Win32CommPort::Events events{CreateEventA(nullptr, FALSE, FALSE, nullptr),
                                              CreateEventA(nullptr, FALSE, FALSE, nullptr),
                                              CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    if (events.read == nullptr || events.input == nullptr || events.write == nullptr) {
      win32::LastErrorKeeper keep;
      win32::Win32CommPort::CloseEvents(events);
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<win32::Win32CommPort>(handle, events);
  }
};

}  // namespace

CommApi& SystemComm() {
  static Win32Comm comm;
  return comm;
}

}  // namespace qs::platform
