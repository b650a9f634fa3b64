// The framing state of one client's byte stream, kept with the client's slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qs {

// Each client has its own: one client's unfinished command line must not swallow another
// client's bytes. Used on the TCP server thread only.
struct ClientStream {
  static constexpr std::size_t kMaxCommandLine = 2047;  // with its CR
  static constexpr std::size_t kDcbPayloadSize = 28;

  bool escapePending = false;  // an ESC came: the next byte decides
  std::string commandLine;     // the line collected so far, its CR included once it came
  bool lineTooLong = false;    // bytes beyond kMaxCommandLine came and were dropped
  // A SETDCB whose 28 bytes did not all come in its chunk waits for the rest here.
  bool awaitingDcb = false;
  std::array<std::uint8_t, kDcbPayloadSize> dcbPayload{};
  std::size_t dcbPayloadSize = 0;

  void Reset() { *this = ClientStream{}; }
};

}  // namespace qs
