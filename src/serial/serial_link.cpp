// The serial link. Until the comm backends are in, no device can be opened.
#include "serial/serial_link.h"

namespace qs {

int SerialLink::OpenSerialPort(std::string& name, std::uint32_t, std::int32_t, char, std::int32_t,
                               std::uint32_t, std::uint32_t, std::uint32_t) {
  if (name.empty()) return 1;
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  (void)log_;
  return 1;
}

int SerialLink::CloseSerialPort() {
  usage_.portClaimed.store(false);
  return 0;
}

}  // namespace qs
