// A serial port that records what it was asked to do and answers as the test decides.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_comm.h"
#include "serial/port_config.h"
#include "serial/serial_port_control.h"

namespace qs::testing {

class FakeSerialPort final : public SerialPortControl {
 public:
  int ReopenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                       std::int32_t stopBits, std::uint32_t intervalTimeout,
                       std::uint32_t totalTimeoutConstant,
                       std::uint32_t totalTimeoutMultiplier) override {
    ++reopenCalls;
    const int result = OpenSerialPort(name, baud, dataBits, parity, stopBits, intervalTimeout,
                                      totalTimeoutConstant, totalTimeoutMultiplier);
    if (result == 0) deviceGone = false;
    return result;
  }
  bool DeviceGone() const override { return deviceGone; }

  int OpenSerialPort(std::string& name, std::uint32_t baud, std::int32_t dataBits, char parity,
                     std::int32_t stopBits, std::uint32_t intervalTimeout,
                     std::uint32_t totalTimeoutConstant,
                     std::uint32_t totalTimeoutMultiplier) override {
    NormalizePortName(name, names_);
    opens.push_back(name + " " + std::to_string(baud) + " " + std::to_string(dataBits) + " " +
                    parity + " " + std::to_string(stopBits) + " " +
                    std::to_string(intervalTimeout) + " " + std::to_string(totalTimeoutConstant) +
                    " " + std::to_string(totalTimeoutMultiplier));
    if (onCall) onCall("open");
    if (openSucceeds) isOpen = true;
    return openSucceeds ? 0 : 1;
  }

  int CloseSerialPort() override {
    ++closeCalls;
    if (onCall) onCall("close");
    const bool wasOpen = isOpen;
    isOpen = false;
    deviceGone = false;
    return wasOpen ? 1 : 0;
  }

  bool openSucceeds = true;
  bool isOpen = false;
  bool deviceGone = false;
  int closeCalls = 0;
  int reopenCalls = 0;
  std::vector<std::string> opens;
  std::function<void(const char*)> onCall;

 private:
  FakeComm names_;  // tells device paths from COM names, as the serial link asks it
};

}  // namespace qs::testing
