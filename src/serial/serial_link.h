// The serial link: the one port lent to the network, its reader thread and its byte writer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/event_log.h"
#include "platform/comm.h"
#include "serial/device_data_sink.h"
#include "serial/port_usage.h"
#include "serial/serial_port_control.h"

namespace qs {

class SerialLink final : public SerialPortControl {
 public:
  static constexpr std::uint32_t kInputQueueSize = 1020;
  static constexpr std::uint32_t kOutputQueueSize = 1024;
  static constexpr std::uint32_t kWriteTimeoutMilliseconds = 1000;
  static constexpr std::size_t kReadSize = 1023;

  // How long a close waits for the reader after cancelling its I/O, and again after closing
  // the port, before it leaves the reader to end on its own.
  static constexpr std::chrono::milliseconds kReaderStopWait{1000};

  // onClose runs at the start of every CloseSerialPort, whether a port was open or not (the
  // bridge releases its claim there); a port whose device went away closes without it.
  SerialLink(EventLog& log, PortUsage& usage, platform::CommApi& comm, DeviceDataSink& deviceData,
             std::function<void()> onClose = {},
             std::chrono::milliseconds readerStopWait = kReaderStopWait)
      : log_(log),
        usage_(usage),
        comm_(comm),
        deviceData_(deviceData),
        onClose_(std::move(onClose)),
        readerStopWait_(readerStopWait) {}
  // A port still open at exit (one a client opened) is closed without a log line.
  ~SerialLink() override;
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  int OpenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                     std::int32_t stopBits, std::uint32_t intervalTimeout,
                     std::uint32_t totalTimeoutConstant,
                     std::uint32_t totalTimeoutMultiplier) override;
  int CloseSerialPort() override;
  bool DeviceGone() const override { return deviceGone_.load(); }
  int ReopenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                       std::int32_t stopBits, std::uint32_t intervalTimeout,
                       std::uint32_t totalTimeoutConstant,
                       std::uint32_t totalTimeoutMultiplier) override;

  enum class WriteResult { kWritten, kNoPort, kNotTaken };
  // Writes one byte to the open port and waits until it went out (at most the write
  // time-out). kNotTaken: the port is open but the byte did not go out (the device holds
  // its line, or the write was interrupted); it never goes out later.
  WriteResult WriteSerialByte(std::uint8_t byte);
  // Makes a write in progress on any thread give up at once, as shut-down needs.
  void InterruptWrites();

  bool IsOpen() const;
  // The open port, for the commands that drive it directly; nullptr when closed.
  std::shared_ptr<platform::CommPort> Port() const;

  // The device type that clients' TYP= sets: it decides the DCB flags at the next open and,
  // at once, whether the reader acknowledges each CR the device sends. 0 at start.
  void SetDeviceType(std::int32_t type) { deviceType_.store(type); }
  std::int32_t DeviceType() const { return deviceType_.load(); }

 private:
  struct Reader;

  int Open(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
           std::int32_t stopBits, std::uint32_t intervalTimeout, std::uint32_t totalTimeoutConstant,
           std::uint32_t totalTimeoutMultiplier, bool quiet);
  std::shared_ptr<platform::CommPort> ConfigureSerialPort(
      const std::string& devicePath, std::uint32_t baud, std::int32_t dataBits, char parity,
      std::int32_t stopBits, std::uint32_t intervalTimeout, std::uint32_t totalTimeoutConstant,
      std::uint32_t totalTimeoutMultiplier, bool quiet);
  // The reader found its device gone: closes the port from the reader's side, unless a
  // close has taken it already. True when it did.
  bool CloseGonePort(const std::shared_ptr<Reader>& reader);
  // Joins the reader of a port that closed itself; with lifecycleMutex_ held.
  void ReapGoneReader();
  void SerialPolling(const std::shared_ptr<Reader>& reader);
  // Acknowledges CRs where the device type wants it, then hands the bytes on.
  void Forward(const std::uint8_t* data, std::size_t n, platform::CommPort& port);
  WriteResult WriteByteTo(platform::CommPort& port, std::uint8_t byte);
  // Stops the reader and closes the port; false when the cancel was refused.
  bool StopReaderAndClose(const std::shared_ptr<Reader>& reader);

  EventLog& log_;
  PortUsage& usage_;
  platform::CommApi& comm_;
  DeviceDataSink& deviceData_;
  const std::function<void()> onClose_;
  const std::chrono::milliseconds readerStopWait_;
  std::atomic<std::int32_t> deviceType_{0};

  // Opens and closes run one at a time, whichever thread asks.
  std::mutex lifecycleMutex_;
  // Guards the two pointers below for the moment it takes to read or change them; nobody
  // waits on the device while holding it.
  mutable std::mutex portMutex_;
  std::shared_ptr<platform::CommPort> port_;  // null: no port open
  std::shared_ptr<Reader> reader_;
  std::shared_ptr<Reader> goneReader_;  // ended with its device; nobody has joined it yet
  std::atomic<bool> deviceGone_{false};
  // Readers whose driver did not let go when their port was closed.
  std::vector<std::shared_ptr<Reader>> abandoned_;
};

}  // namespace qs
