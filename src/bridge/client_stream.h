// The framing state of one client's byte stream, kept with the client's slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qs {

// The block that SETDCB puts on the port, as the client sends it.
using DcbPayload = std::array<std::uint8_t, 28>;

// Each client has its own: one client's unfinished command line must not swallow another
// client's bytes. Written by ClientDemux alone, on the TCP server thread.
struct ClientStream {
  static constexpr std::size_t kMaxCommandLine = 2047;  // with its CR
  static constexpr std::size_t kDcbPayloadSize = DcbPayload{}.size();

  enum class State {
    kData,         // bytes go to the port; an ESC leads out
    kEscapeSeen,   // an ESC came, or a chunk opens on a line left open: ESC is a data
                   // byte, anything else starts (or carries on) the line
    kCommandLine,  // bytes go into the line up to its CR
    kDcbPayload,   // the bytes behind a SETDCB line's CR fill its block
  };

  State state = State::kData;
  // The line so far; its CR hands it on. It outlives a return to kData (an ESC that opens
  // a chunk while a line is open), so the next line goes on from it.
  std::string commandLine;
  bool lineTooLong = false;  // bytes beyond kMaxCommandLine came and were dropped
  DcbPayload dcbPayload{};
  std::size_t dcbPayloadSize = 0;

  void Reset() { *this = ClientStream{}; }
};

}  // namespace qs
