// Opening, writing and closing the serial port.
#include "serial/serial_link.h"

#include <system_error>

#include "serial/port_config.h"
#include "serial/serial_link_reader.h"

namespace qs {
namespace {

constexpr const char* kOpenError = "Error - blad otwarcia portu COM";
constexpr std::chrono::milliseconds kCancelRepeat{10};

}  // namespace

SerialLink::~SerialLink() {
  {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    ReapGoneReader();
  }
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard<std::mutex> lock(portMutex_);
    reader = std::move(reader_);
    port_.reset();
  }
  if (reader) {
    reader->quiet.store(true);
    StopReaderAndClose(reader);
  }
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  for (const std::shared_ptr<Reader>& stuck : abandoned_) {
    stuck->quiet.store(true);
    stuck->WaitFor(readerStopWait_, [&] { return stuck->finished.load(); });
  }
}

int SerialLink::OpenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits,
                               char parity, std::int32_t stopBits, std::uint32_t intervalTimeout,
                               std::uint32_t totalTimeoutConstant,
                               std::uint32_t totalTimeoutMultiplier) {
  return Open(name, baud, dataBits, parity, stopBits, intervalTimeout, totalTimeoutConstant,
              totalTimeoutMultiplier, false);
}

int SerialLink::ReopenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits,
                                 char parity, std::int32_t stopBits, std::uint32_t intervalTimeout,
                                 std::uint32_t totalTimeoutConstant,
                                 std::uint32_t totalTimeoutMultiplier) {
  return Open(name, baud, dataBits, parity, stopBits, intervalTimeout, totalTimeoutConstant,
              totalTimeoutMultiplier, true);
}

int SerialLink::Open(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                     std::int32_t stopBits, std::uint32_t intervalTimeout,
                     std::uint32_t totalTimeoutConstant, std::uint32_t totalTimeoutMultiplier,
                     bool quiet) {
  if (name.empty()) return 1;
  const bool isPath = NormalizePortName(name, comm_);
  const std::string devicePath = isPath ? name : DevicePathFor(name);

  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  ReapGoneReader();
  std::shared_ptr<platform::CommPort> port =
      ConfigureSerialPort(devicePath, baud, dataBits, parity, stopBits, intervalTimeout,
                          totalTimeoutConstant, totalTimeoutMultiplier, quiet);
  if (!port) return 1;

  auto reader = std::make_shared<Reader>(port);
  // Recorded before the reader starts, so that a reader finding its device gone at once
  // finds its port to close.
  {
    std::lock_guard<std::mutex> lock(portMutex_);
    port_ = port;
    reader_ = reader;
    deviceGone_.store(false);
  }
  try {
    reader->thread = std::thread([this, reader] { SerialPolling(reader); });
  } catch (const std::system_error&) {
    {
      std::lock_guard<std::mutex> lock(portMutex_);
      port_.reset();
      reader_.reset();
    }
    port->Close();
    log_.LogEvent(kOpenError);
    return 1;
  }
  // The reader logs "Serial Polling - start" before it reports that it runs.
  reader->Wait([&] { return reader->running.load() || reader->finished.load(); });
  usage_.idleSeconds.store(0);
  return 0;
}

std::shared_ptr<platform::CommPort> SerialLink::ConfigureSerialPort(
    const std::string& devicePath, std::uint32_t baud, std::int32_t dataBits, char parity,
    std::int32_t stopBits, std::uint32_t intervalTimeout, std::uint32_t totalTimeoutConstant,
    std::uint32_t totalTimeoutMultiplier, bool quiet) {
  platform::Dcb dcb{};
  dcb.DCBlength = platform::kDcbSize;
  platform::CommTimeouts timeouts{};
  const std::string mode = FormatModeString(baud, dataBits, parity, stopBits);
  if (!quiet) log_.LogEvent(mode);

  std::shared_ptr<platform::CommPort> port;
  // A port that is already open stays as it is: a second one would be left without its
  // reader being stopped, and two readers would fight over the data.
  if (comm_.BuildCommDcbAndTimeouts(mode, dcb, timeouts) && !IsOpen()) {
    port = comm_.Open(devicePath);
  }
  if (port) {
    dcb.flags = AdjustDcbFlags(dcb.flags, deviceType_.load());
    timeouts = {intervalTimeout, totalTimeoutMultiplier, totalTimeoutConstant, 0,
                kWriteTimeoutMilliseconds};
    if (port->SetState(dcb) && port->SetTimeouts(timeouts) &&
        port->SetupQueues(kInputQueueSize, kOutputQueueSize)) {
      if (quiet) log_.LogEvent(mode);
      return port;
    }
    port->Close();
  }
  if (!quiet) log_.LogEvent(kOpenError);
  return nullptr;
}

SerialLink::WriteResult SerialLink::WriteSerialByte(std::uint8_t byte) {
  const std::shared_ptr<platform::CommPort> port = Port();
  if (!port) return WriteResult::kNoPort;
  return WriteByteTo(*port, byte);
}

SerialLink::WriteResult SerialLink::WriteByteTo(platform::CommPort& port, std::uint8_t byte) {
  usage_.idleSeconds.store(0);
  return port.WriteByte(byte) ? WriteResult::kWritten : WriteResult::kNotTaken;
}

void SerialLink::InterruptWrites() {
  // A cancelled read hands on what it had read, so the reader loses nothing by this.
  if (const std::shared_ptr<platform::CommPort> port = Port()) port->CancelIo();
}

int SerialLink::CloseSerialPort() {
  if (onClose_) onClose_();
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  ReapGoneReader();
  deviceGone_.store(false);
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard<std::mutex> lock(portMutex_);
    if (!port_) return 0;
    reader = std::move(reader_);
    port_.reset();
  }
  log_.LogEvent("Serial Off - start");
  const bool cancelled = StopReaderAndClose(reader);
  log_.LogEvent(cancelled ? "Serial Off - stop"
                          : "Serial Off - stop - Error - nie zatrzymano watku SerialPolling");
  return 1;
}

bool SerialLink::StopReaderAndClose(const std::shared_ptr<Reader>& reader) {
  reader->stopping.store(true);
  reader->Signal();
  // Cancelling ends a read that would otherwise wait for its time-out (or for ever, with
  // no time-out set); whatever it had read is dropped with the port anyway.
  const bool cancelled = reader->port->CancelIo();
  const auto finished = [&] { return reader->finished.load(); };
  // A read that began just after the cancel would miss it: cancel again now and then.
  const auto deadline = std::chrono::steady_clock::now() + readerStopWait_;
  while (cancelled && !reader->WaitFor(kCancelRepeat, finished) &&
         std::chrono::steady_clock::now() < deadline) {
    reader->port->CancelIo();
  }
  if (!cancelled) reader->WaitFor(readerStopWait_, finished);
  reader->port->Close();
  if (reader->WaitFor(readerStopWait_, finished)) {
    reader->thread.join();
  } else {
    // A driver that never returns keeps its reader; the reader holds its own references
    // to the port, and ends whenever the driver lets go.
    reader->thread.detach();
    abandoned_.push_back(reader);
  }
  return cancelled;
}

bool SerialLink::IsOpen() const {
  std::lock_guard<std::mutex> lock(portMutex_);
  return port_ != nullptr;
}

std::shared_ptr<platform::CommPort> SerialLink::Port() const {
  std::lock_guard<std::mutex> lock(portMutex_);
  return port_;
}

}  // namespace qs
