// Opening and closing the serial port, as start-up, the idle tick and the commands ask for it.
#pragma once

#include <cstdint>
#include <string>

namespace qs {

class SerialPortControl {
 public:
  virtual ~SerialPortControl() = default;

  // Opens and configures the named port and starts its reader. A COM name is upper-cased
  // in place; a device path of the system is left as it is. Returns 0 on success and 1 on
  // failure; logs its own lines.
  virtual int OpenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits,
                             char parity, std::int32_t stopBits, std::uint32_t intervalTimeout,
                             std::uint32_t totalTimeoutConstant,
                             std::uint32_t totalTimeoutMultiplier) = 0;

  // Stops the reader and closes the port; the serial link first tells the bridge, which
  // releases its claim. Returns 1 when a port was open and has been closed, 0 when none was.
  virtual int CloseSerialPort() = 0;

  // True while the port stands closed because its device went away: from then until the
  // next successful open or the next close.
  virtual bool DeviceGone() const = 0;

  // Tries to open the port again, as OpenSerialPort does, but a failed attempt leaves no
  // line in the log, and the mode string is logged only when the port opens.
  virtual int ReopenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits,
                               char parity, std::int32_t stopBits, std::uint32_t intervalTimeout,
                               std::uint32_t totalTimeoutConstant,
                               std::uint32_t totalTimeoutMultiplier) = 0;
};

}  // namespace qs
