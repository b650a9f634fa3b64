// A serial port that records what it was asked to do and answers as the test decides.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/port_usage.h"
#include "serial/serial_port_control.h"

namespace qs::testing {

class FakeSerialPort final : public SerialPortControl {
 public:
  explicit FakeSerialPort(PortUsage& usage) : usage_(usage) {}

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
    // As the serial link does on Linux: a path keeps its case, a COM name is upper-cased.
    for (char& c : name) {
      if (name.find('/') != std::string::npos) break;
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    opens.push_back(name + " " + std::to_string(baud) + " " + std::to_string(dataBits) + " " +
                    parity + " " + std::to_string(stopBits) + " " +
                    std::to_string(intervalTimeout) + " " + std::to_string(totalTimeoutConstant) +
                    " " + std::to_string(totalTimeoutMultiplier));
    if (onCall) onCall("open");
    if (openSucceeds) {
      isOpen = true;
      usage_.idleSeconds.store(0);
    }
    return openSucceeds ? 0 : 1;
  }

  int CloseSerialPort() override {
    ++closeCalls;
    if (onCall) onCall("close");
    usage_.portClaimed.store(false);
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
  PortUsage& usage_;
};

}  // namespace qs::testing
