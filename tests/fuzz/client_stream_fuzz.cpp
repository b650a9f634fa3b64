// Fuzz target: chunks from five clients through the real demultiplexer, command interpreter and
// serial link on fakes, checked after every step against the protocol model.
//
// Input: one byte of set-up (bit 0: always-open mode; bit 1: its port fails to open at
// start-up), then steps, each led by a byte h: slot h % 5, kind h / 5.
//   0-39   a chunk from the slot: a length byte n, then n + 1 bytes
//   40-43  a long chunk: two length bytes, up to 1023 bytes
//   44     the slot's client leaves and a new one takes the slot;  45  the client leaves
//   46     the device starts or stops taking bytes;  47  the device goes or comes back
//   48     the mode string is refused or accepted again
//   49     the next send fails (error 10000 + the next byte);  50  the next send goes short
//   51     the device sends (the next byte % 32) + 1 bytes
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bridge/client_demux.h"
#include "bridge/command_interpreter.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_comm.h"
#include "fakes/fake_sockets.h"
#include "fuzz_check.h"
#include "protocol_model.h"
#include "serial/configured_port.h"
#include "support/captured_lines.h"
#include "support/fake_client.h"

namespace qs::fuzz {
namespace {

constexpr std::uintptr_t kFirstSocket = 100;

// The fuzz input, front to back; past its end every byte reads 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to count bytes from here; fewer at the end.
  std::vector<std::uint8_t> Take(std::size_t count) {
    const std::size_t n = count < size_ - at_ ? count : size_ - at_;
    std::vector<std::uint8_t> bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The core as the program wires it, on fakes. Declared so that the slots outlive the serial
// link, whose reader sends to them, and the sockets outlive the slots.
struct Bridge {
  explicit Bridge(bool alwaysOpen) {
    log.SetLogView(&lines);
    comm.device.cancelReachesNextRead.store(true);
    if (alwaysOpen) {
      settings.Update([](Settings& s) {
        s.portAlwaysOpen = 1;
        std::strcpy(s.portName, "COM2");
        s.baudRate = 9600;
        s.dataBits = 8;
        s.parity = 'N';
        s.stopBits = 1;
      });
    }
  }
  ~Bridge() { log.SetLogView(nullptr); }

  SettingsStore settings;
  testing::FakeClock clock;
  EventLog log{settings, clock};
  testing::CapturedLines lines;
  testing::FakeComm comm;
  testing::FakeSockets sockets;
  PortUsage usage;
  PortClaim claim;
  CommandParameters parameters;
  ClientSlot slots[ProtocolModel::kSlots];
  ClientSender sender{log};
  SerialLink serial{log, usage, comm, sender, [this] { claim.portClaimed.store(false); }};
  CommandInterpreter interpreter{settings, serial, claim, parameters, sender};
  ClientDemux demux{log, serial, interpreter};
};

template <typename Condition>
void AwaitOrFail(Condition condition, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) Fail(what);
    std::this_thread::yield();
  }
}

std::string Shown(const std::vector<std::uint8_t>& bytes) {
  return Printable(std::string(bytes.begin(), bytes.end()));
}

// Drives the bridge and the model with the same steps and compares what each shows.
class Run {
 public:
  explicit Run(std::uint8_t setUp)
      : alwaysOpen_(setUp & 1), bridge_(alwaysOpen_), model_(alwaysOpen_) {
    if (!alwaysOpen_) return;
    const bool failing = setUp & 2;
    bridge_.comm.deviceMissing = failing;
    model_.deviceMissing = failing;
    OpenConfiguredPort(bridge_.settings, bridge_.serial);
    model_.OpenAtStartUp("COM2", 9600, 8, 'N', 1);
    bridge_.comm.deviceMissing = false;
    model_.deviceMissing = false;
    Compare([] { return std::string("start-up"); });
  }

  void Step(Input& in) {
    const std::uint8_t h = in.Byte();
    const int slot = h % ProtocolModel::kSlots;
    const int kind = h / ProtocolModel::kSlots;
    ++steps_;
    lastChunk_.clear();
    if (kind < 44) {
      std::size_t length = std::size_t{in.Byte()};
      if (kind >= 40) length = ((length << 8) | in.Byte()) % 1023;
      ++length;
      lastChunk_ = in.Take(length);
      if (lastChunk_.empty()) return;
      if (!model_.connected(slot)) Connect(slot);
      bridge_.demux.ProcessClientData(lastChunk_.data(), lastChunk_.size(), bridge_.slots[slot]);
      model_.Chunk(slot, lastChunk_.data(), lastChunk_.size());
    } else if (kind == 44) {
      if (model_.connected(slot)) Disconnect(slot);
      Connect(slot);
    } else if (kind == 45) {
      if (model_.connected(slot)) Disconnect(slot);
    } else if (kind == 46) {
      model_.writesRefused = !model_.writesRefused;
      bridge_.comm.device.writesGoOut.store(!model_.writesRefused);
    } else if (kind == 47) {
      model_.deviceMissing = !model_.deviceMissing;
      bridge_.comm.deviceMissing = model_.deviceMissing;
    } else if (kind == 48) {
      model_.modeRefused = !model_.modeRefused;
      bridge_.comm.modeRefused = model_.modeRefused;
    } else if (kind == 49 || kind == 50) {
      const ProtocolModel::SendOutcome outcome =
          kind == 49 ? ProtocolModel::SendOutcome{-1, 10000 + in.Byte()}
                     : ProtocolModel::SendOutcome{0, 0};
      model_.nextSend = outcome;
      bridge_.sockets.FailNext({outcome.sent, outcome.error});
    } else {
      const std::vector<std::uint8_t> bytes = in.Take(in.Byte() % 32 + 1);
      if (!bytes.empty() && model_.portOpen()) DeviceSends(bytes);
    }
    Compare([&] {
      std::string what = "step " + std::to_string(steps_) + " (kind " + std::to_string(kind) +
                         ", slot " + std::to_string(slot) + ")";
      if (!lastChunk_.empty()) what += " chunk \"" + Shown(lastChunk_) + "\"";
      return what;
    });
  }

 private:
  void Connect(int slot) {
    const std::uintptr_t socket = kFirstSocket + nextSocket_++;
    bridge_.slots[slot].Assign(testing::FakeClient(bridge_.sockets, socket));
    model_.Connect(slot, socket);
  }
  void Disconnect(int slot) {
    bridge_.slots[slot].Release();
    model_.Disconnect(slot);
  }

  // Waits until the reader has read the bytes and they have gone on to the client.
  void DeviceSends(const std::vector<std::uint8_t>& bytes) {
    testing::FakeDevice& device = bridge_.comm.device;
    AwaitOrFail([&] { return device.readsInFlight.load() == 1; }, "the reader never reads");
    const int readsBefore = device.reads.load();
    device.Feed(bytes);
    AwaitOrFail([&] { return device.reads.load() > readsBefore; },
                "the reader did not come back for more");
    bridge_.sender.Flush();  // a full block may still be on its way to the client
    model_.DeviceSends(bytes.data(), bytes.size());
  }

  // Everything the model expects so far against what the fakes saw; what() names the step.
  template <typename What>
  void Compare(What what) {
    const ProtocolModel::Observed& seen = model_.observed();
    const std::vector<std::uint8_t> written = bridge_.comm.device.Written();
    Require(written == seen.written, [&] {
      return what() + ": the device got \"" + Shown(written) + "\", expected \"" +
             Shown(seen.written) + "\"";
    });

    const auto sends = bridge_.sockets.SentFrom(sendsChecked_);
    Require(sends.size() == seen.sends.size() - sendsChecked_, [&] {
      return what() + ": " + std::to_string(sendsChecked_ + sends.size()) + " sends, expected " +
             std::to_string(seen.sends.size());
    });
    for (std::size_t i = 0; i < sends.size(); ++i) {
      const ProtocolModel::Send& expected = seen.sends[sendsChecked_ + i];
      Require(sends[i].socket == expected.socket && sends[i].bytes == expected.bytes, [&] {
        return what() + ": send " + std::to_string(sendsChecked_ + i) + " was \"" +
               Shown(sends[i].bytes) + "\" to " + std::to_string(sends[i].socket) +
               ", expected \"" + Shown(expected.bytes) + "\" to " + std::to_string(expected.socket);
      });
    }
    sendsChecked_ = seen.sends.size();

    const std::vector<std::string> lines = bridge_.lines.TextsFrom(linesChecked_);
    for (std::size_t i = 0; i < lines.size() || linesChecked_ + i < seen.lines.size(); ++i) {
      const std::string got = i < lines.size() ? lines[i] : "(none)";
      const std::string expected =
          linesChecked_ + i < seen.lines.size() ? seen.lines[linesChecked_ + i] : "(none)";
      Require(got == expected, [&] {
        return what() + ": log line " + std::to_string(linesChecked_ + i) + " was \"" +
               Printable(got) + "\", expected \"" + Printable(expected) + "\"";
      });
    }
    linesChecked_ = seen.lines.size();

    const int owner = OwnerIndex();
    Require(owner == model_.owner(), [&] {
      return what() + ": owner slot " + std::to_string(owner) + ", expected " +
             std::to_string(model_.owner());
    });
    Require(bridge_.serial.IsOpen() == model_.portOpen(),
            [&] { return what() + ": port open or closed wrongly"; });
    Require(bridge_.claim.portClaimed.load() == model_.claimed(),
            [&] { return what() + ": claim wrong"; });

    const CommandParameters& p = bridge_.parameters;
    const ProtocolModel::Parameters& q = model_.parameters();
    Require(p.requestedBaud == q.baud && p.requestedDataBits == q.dataBits &&
                p.requestedParity == q.parity && p.requestedStopBits == q.stopBits &&
                p.timeout1 == q.timeout1 && p.timeout2 == q.timeout2 && p.timeout3 == q.timeout3 &&
                bridge_.serial.DeviceType() == q.deviceType,
            [&] { return what() + ": parameters differ"; });

    const testing::FakeDevice& device = bridge_.comm.device;
    Require(device.escapes == seen.escapes, [&] { return what() + ": RTS/DTR calls differ"; });
    Require(std::memcmp(&device.state, seen.dcb.data(), seen.dcb.size()) == 0,
            [&] { return what() + ": the device's block differs"; });
    Require(std::memcmp(&device.timeouts, seen.timeouts.data(), sizeof device.timeouts) == 0,
            [&] { return what() + ": the device's time-outs differ"; });
    Require(device.purges == seen.purges, [&] { return what() + ": purge differs"; });
    Require(bridge_.comm.openedPaths == seen.openedPaths,
            [&] { return what() + ": opened device paths differ"; });
    Require(bridge_.sockets.Closed() == seen.closedSockets,
            [&] { return what() + ": closed sockets differ"; });
  }

  int OwnerIndex() const {
    const ClientSlot* owner = bridge_.sender.ownerClient.load();
    for (int i = 0; i < ProtocolModel::kSlots; ++i) {
      if (owner == &bridge_.slots[i]) return i;
    }
    Require(owner == nullptr, "the owner is no slot");
    return ProtocolModel::kNoOwner;
  }

  const bool alwaysOpen_;
  Bridge bridge_;
  ProtocolModel model_;
  std::size_t sendsChecked_ = 0;
  std::size_t linesChecked_ = 0;
  int nextSocket_ = 0;
  int steps_ = 0;
  std::vector<std::uint8_t> lastChunk_;
};

}  // namespace
}  // namespace qs::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qs::fuzz::Input in(data, size);
  qs::fuzz::Run run(in.Byte());
  while (!in.done()) run.Step(in);
  return 0;
}
