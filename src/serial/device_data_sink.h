// Where the serial reader hands what the device sent; the program wires it to the port's owner.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qs {

class DeviceDataSink {
 public:
  virtual ~DeviceDataSink() = default;
  // Called on the reader thread with every block the device sent, as it came. Must not
  // wait for long: the reader reads nothing meanwhile.
  virtual void DeviceData(const std::uint8_t* bytes, std::size_t count) = 0;
  // Returns once what DeviceData took has gone on, within a bound of the sink's own; the
  // reader calls it before it reports the port's end.
  virtual void Flush() {}
};

}  // namespace qs
