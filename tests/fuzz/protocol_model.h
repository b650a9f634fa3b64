// What the bridge must do with a client's bytes, worked out on its own: the oracle of the client
// stream fuzz target. It knows the framing, the keywords and the port's fakes, not the code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qs::fuzz {

using Bytes = std::vector<std::uint8_t>;

class ProtocolModel {
 public:
  static constexpr int kSlots = 5;
  static constexpr int kNoOwner = -1;

  struct Send {
    std::uintptr_t socket;
    Bytes bytes;
  };
  // What a send is to report instead of success: sent -1 with an error, or a short count.
  struct SendOutcome {
    long sent;
    long error;
  };

  // Everything the outside can see, in the order it happened.
  struct Observed {
    Bytes written;                   // bytes that reached the device
    std::vector<Send> sends;         // every send to a client socket
    std::vector<std::string> lines;  // event-log texts
    std::vector<std::string> openedPaths;
    std::vector<int> escapes;  // EscapeCommFunction codes on the open port
    std::vector<std::uintptr_t> closedSockets;
    std::array<std::uint8_t, 28> dcb{};  // the device's control block
    std::array<std::uint32_t, 5> timeouts{};
    std::uint32_t purges = 0;
  };

  struct Parameters {
    std::int32_t baud = 0, dataBits = 0, stopBits = 0;
    char parity = '\0';
    std::int32_t timeout1 = 0, timeout2 = 0, timeout3 = 0, deviceType = 0;
  };

  explicit ProtocolModel(bool alwaysOpen) : alwaysOpen_(alwaysOpen) {}

  // Start-up in always-open mode: the port of the settings, opened with their values.
  void OpenAtStartUp(const std::string& name, std::uint32_t baud, std::int32_t dataBits,
                     char parity, std::int32_t stopBits);

  void Connect(int slot, std::uintptr_t socket);
  void Disconnect(int slot);
  bool connected(int slot) const { return clients_[slot].socket != 0; }

  void Chunk(int slot, const std::uint8_t* data, std::size_t length);
  // The device sends these bytes; the reader hands them on.
  void DeviceSends(const std::uint8_t* data, std::size_t length);

  // Faults of the fakes, set on both sides by the driver.
  bool writesRefused = false;
  bool deviceMissing = false;
  bool modeRefused = false;
  std::optional<SendOutcome> nextSend;

  const Observed& observed() const { return seen_; }
  const Parameters& parameters() const { return params_; }
  int owner() const { return owner_; }
  bool portOpen() const { return portOpen_; }
  bool claimed() const { return claimed_; }

 private:
  struct Client {
    std::uintptr_t socket = 0;  // 0: the slot is free
    bool escape = false;        // an ESC came and the next byte decides
    std::string line;           // the command line so far, without its CR
    std::size_t lineBytes = 0;  // every byte the line got, also those that did not fit
    bool awaitingBlock = false;
    Bytes block;  // SETDCB bytes so far
  };
  struct ChunkState {
    bool refused = false;  // the device did not take a data byte of this chunk
    std::size_t dropped = 0;
  };

  void DataByte(std::uint8_t byte, ChunkState& chunk);
  // Runs one complete line; true when SETDCB took the rest of the chunk.
  bool RunLine(int slot, const std::string& line, const std::uint8_t* after, std::size_t left);
  void TakeBlockBytes(int slot, const std::uint8_t* data, std::size_t length);
  std::uint8_t Com(int slot, std::int32_t number);
  bool Open(const std::string& path, std::uint32_t baud, std::int32_t dataBits, char parity,
            std::int32_t stopBits, std::uint32_t interval, std::uint32_t constant,
            std::uint32_t multiplier);
  void Close();
  void Reply(int slot, Bytes bytes);
  void Log(std::string text) { seen_.lines.push_back(std::move(text)); }

  const bool alwaysOpen_;
  Client clients_[kSlots];
  Parameters params_;
  bool portOpen_ = false;
  bool claimed_ = false;
  int owner_ = kNoOwner;
  Observed seen_;
};

}  // namespace qs::fuzz
