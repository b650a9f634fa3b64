// Serial-device seam: a COM port opened exclusively, configured with the Win32 device-control
// block, read with the Windows time-out rules and written one byte at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qs::platform {

// The Win32 DCB, byte for byte (little-endian). Both builds use it as the port's settings:
// it is what a client reads and replaces with DCB=? and SETDCB.
struct Dcb {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t flags;  // the bit-fields, see the kDcb* constants
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits;  // 0 one, 1 one and a half, 2 two
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};
inline constexpr std::size_t kDcbSize = 28;
static_assert(sizeof(Dcb) == kDcbSize);
static_assert(offsetof(Dcb, flags) == 8 && offsetof(Dcb, XonLim) == 14);
static_assert(offsetof(Dcb, ByteSize) == 18 && offsetof(Dcb, EvtChar) == 25);
static_assert(offsetof(Dcb, wReserved1) == 26);

// Bits of Dcb::flags.
inline constexpr std::uint32_t kDcbBinary = 1u << 0;
inline constexpr std::uint32_t kDcbParity = 1u << 1;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 1u << 2;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 1u << 3;
inline constexpr std::uint32_t kDcbDtrControlShift = 4;  // 2 bits: 0 off, 1 on, 2 handshake
inline constexpr std::uint32_t kDcbDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 1u << 7;
inline constexpr std::uint32_t kDcbOutX = 1u << 8;
inline constexpr std::uint32_t kDcbInX = 1u << 9;
inline constexpr std::uint32_t kDcbErrorChar = 1u << 10;
inline constexpr std::uint32_t kDcbNull = 1u << 11;
inline constexpr std::uint32_t kDcbRtsControlShift =
    12;  // 2 bits: 0 off, 1 on, 2 handshake, 3 toggle
inline constexpr std::uint32_t kDcbAbortOnError = 1u << 14;
inline constexpr std::uint32_t kDcbDtrControlMask = 3u << kDcbDtrControlShift;
inline constexpr std::uint32_t kDcbRtsControlMask = 3u << kDcbRtsControlShift;

// Dcb::StopBits.
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kOne5StopBits = 1;
inline constexpr std::uint8_t kTwoStopBits = 2;

// The largest DWORD; in the read time-outs it selects the special rules.
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFF;

// The Win32 COMMTIMEOUTS, in its field order (milliseconds).
struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout;
  std::uint32_t ReadTotalTimeoutMultiplier;
  std::uint32_t ReadTotalTimeoutConstant;
  std::uint32_t WriteTotalTimeoutMultiplier;
  std::uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20);

// EscapeCommFunction codes.
inline constexpr int kSetXoff = 1;
inline constexpr int kSetXon = 2;
inline constexpr int kSetRts = 3;
inline constexpr int kClrRts = 4;
inline constexpr int kSetDtr = 5;
inline constexpr int kClrDtr = 6;
inline constexpr int kSetBreak = 8;
inline constexpr int kClrBreak = 9;

// Modem status bits.
inline constexpr std::uint32_t kMsCtsOn = 0x10;
inline constexpr std::uint32_t kMsDsrOn = 0x20;
inline constexpr std::uint32_t kMsRingOn = 0x40;
inline constexpr std::uint32_t kMsRlsdOn = 0x80;

// PurgeComm flags.
inline constexpr std::uint32_t kPurgeTxClear = 4;
inline constexpr std::uint32_t kPurgeRxClear = 8;

// An open serial port. Read and WriteByte may run on different threads at once;
// CancelIo and Close may be called from any thread while they run.
class CommPort {
 public:
  virtual ~CommPort() = default;

  virtual bool SetState(const Dcb& dcb) = 0;
  virtual bool GetState(Dcb& dcb) = 0;
  virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual bool SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) = 0;

  // Reads up to size bytes, ending as the read time-outs say. Returns the count, 0 when
  // the time-out ran out on a silent line, or -1 when the read failed or was cancelled
  // before a byte came. A read cancelled (or failing) after bytes came returns those.
  virtual long Read(std::uint8_t* buffer, std::size_t size) = 0;

  // True once a read found that the device has gone (unplugged, hung up, driver removed);
  // it stays true for the life of the port. A read that only failed or was cancelled
  // leaves it false.
  virtual bool Gone() const = 0;

  // Waits at most limit until received bytes are waiting to be read; CancelIo and Close end
  // it early. For the port's one reader, between its reads, when the time-outs end reads at
  // once on a silent line: it sleeps rather than reading again and again. True when input
  // is there (or may be).
  virtual bool WaitForInput(std::chrono::milliseconds limit) = 0;

  // Hands one byte to the device within the write time-out, once no more than a few
  // character times of output (at least one character) wait before it in the driver's queue,
  // as in a UART's holding register: the byte is there when the line is free, and the call
  // returns while the bytes before it are still going out. False when it could not be handed
  // on in time (time-out, failure, cancel or close): such a byte never goes out later. A
  // byte handed on is never taken back, save by Close when the device still holds it after
  // its write time-out has run out (a line that flow control keeps stopped). The driver's
  // queue leaves out a UART's hardware FIFO, which holds more on top.
  virtual bool WriteByte(std::uint8_t byte) = 0;

  // Makes every read, wait and write in progress on the port, on any thread, return at once.
  virtual bool CancelIo() = 0;

  // Closes the device. Reads and writes in progress end; later ones fail. Idempotent; the
  // destructor closes too.
  virtual void Close() = 0;

  virtual bool EscapeFunction(int function) = 0;
  virtual bool GetModemStatus(std::uint32_t& status) = 0;
  virtual bool Purge(std::uint32_t flags) = 0;
};

// The serial calls that come before a port is open, behind an interface so that the core
// can be tested without a device.
class CommApi {
 public:
  virtual ~CommApi() = default;

  // Fills dcb (its line settings) and timeouts from a mode string such as
  // "baud=9600 data=8 parity=N stop=1", with the grammar of Win32's BuildCommDCB. False
  // when the string is refused. Fields the string does not name keep their values.
  virtual bool BuildCommDcbAndTimeouts(const std::string& mode, Dcb& dcb,
                                       CommTimeouts& timeouts) = 0;

  // Opens a port for exclusive use: "COM3", "\\.\COM12", or on Linux a device path such
  // as "/dev/ttyUSB0". nullptr when the device does not exist or another program holds it.
  virtual std::unique_ptr<CommPort> Open(const std::string& devicePath) = 0;

  // Whether name is a device path of this system, to be opened, shown and saved exactly as
  // given; other names are COM names, whose letters count in upper case.
  virtual bool IsDevicePath(const std::string& name) const = 0;
};

// The operating system's serial ports.
CommApi& SystemComm();

}  // namespace qs::platform
