// The serial link: the one port lent to the network, its reader and its writer.
#pragma once

#include "log/event_log.h"
#include "serial/port_usage.h"
#include "serial/serial_port_control.h"

namespace qs {

class SerialLink final : public SerialPortControl {
 public:
  SerialLink(EventLog& log, PortUsage& usage) : log_(log), usage_(usage) {}

  int OpenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                     std::int32_t stopBits, std::uint32_t intervalTimeout,
                     std::uint32_t totalTimeoutConstant,
                     std::uint32_t totalTimeoutMultiplier) override;
  int CloseSerialPort() override;

 private:
  EventLog& log_;
  PortUsage& usage_;
};

}  // namespace qs
