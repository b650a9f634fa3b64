// A modelled UART under the POSIX backend's system-call table, for benchmarks and tests: each
// port's output queue drains at the line rate through a hardware FIFO, as TIOCOUTQ shows it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace qs::platform::posix {

// What the modelled lines have carried since the model was put in or its counts were reset.
struct UartModelCounts {
  std::uint64_t characters = 0;     // put on the wire
  std::uint64_t longGaps = 0;       // idle spells of more than three character times between two
  std::chrono::nanoseconds idle{};  // idle line time between characters
};

// Puts the model over the calls in use (Sys()). A terminal whose rate was set with TCSETS2
// sends what is written to it one character (10 bit times at that rate) after another;
// TIOCOUTQ counts the characters not yet on the wire less the fifoBytes the hardware holds
// (with 0, the character on the wire still counts), and TCOFLUSH drops what is beyond the
// FIFO. The device itself gets every byte at once. Only while no port is in use.
void InstallUartModel(std::size_t fifoBytes);
// Puts back the calls the model was put over.
void RemoveUartModel();

UartModelCounts UartModelStatistics();
// How long the line of fd has been idle since its last character left (the FIFO's
// included); zero while it is busy, before its first character, or when fd is no line.
std::chrono::nanoseconds UartModelIdleFor(int fd);
// Zeroes the counts; the next character starts a new run (no gap before it).
void ResetUartModelStatistics();

}  // namespace qs::platform::posix
