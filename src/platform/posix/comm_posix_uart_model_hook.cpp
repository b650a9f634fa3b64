// Linked only into the program's UART-model build: puts the modelled UART under every port
// before main runs. QS_UART_FIFO gives the hardware FIFO in bytes (0, none, unless set).
#include <cstdlib>
#include <string>

#include "platform/posix/comm_posix_uart_model.h"

namespace {

std::size_t FifoBytes() {
  const char* text = std::getenv("QS_UART_FIFO");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const unsigned long bytes = std::strtoul(text, &end, 10);
  return end != text && *end == '\0' && bytes <= 4096 ? bytes : 0;
}

[[maybe_unused]] const bool kInstalled = [] {
  qs::platform::posix::InstallUartModel(FifoBytes());
  return true;
}();

}  // namespace
