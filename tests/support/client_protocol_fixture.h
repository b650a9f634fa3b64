// The client protocol's parts wired to fakes: two clients, the demultiplexer and a port.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/client_demux.h"
#include "bridge/command_interpreter.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_comm.h"
#include "fakes/fake_sockets.h"
#include "support/captured_lines.h"
#include "support/fake_client.h"

namespace qs::testing {

class ClientProtocolTest : public ::testing::Test {
 protected:
  ClientProtocolTest() {
    log_.SetLogView(&lines_);
    clientA_.Assign(FakeClient(sockets_, 11));
    clientB_.Assign(FakeClient(sockets_, 22));
  }
  ~ClientProtocolTest() override { log_.SetLogView(nullptr); }

  void Send(ClientSlot& client, const std::vector<std::uint8_t>& chunk) {
    demux_.ProcessClientData(chunk.data(), chunk.size(), client);
  }
  void Send(ClientSlot& client, const std::string& chunk) {
    Send(client, std::vector<std::uint8_t>(chunk.begin(), chunk.end()));
  }
  // Everything sent to one socket so far, back to back.
  std::vector<std::uint8_t> RepliesTo(platform::SocketHandle socket) {
    std::vector<std::uint8_t> all;
    for (const auto& sent : sockets_.SentSoFar()) {
      if (sent.socket == socket) all.insert(all.end(), sent.bytes.begin(), sent.bytes.end());
    }
    return all;
  }
  void AlwaysOpen() {
    settings_.Update([](Settings& s) { s.portAlwaysOpen = 1; });
  }

  SettingsStore settings_;
  FakeClock clock_;
  EventLog log_{settings_, clock_};
  CapturedLines lines_;
  FakeComm comm_;
  FakeSockets sockets_;
  PortUsage usage_;
  PortClaim claim_;
  CommandParameters parameters_;
  ClientSender sender_{log_};
  SerialLink serial_{log_, usage_, comm_, sender_, [this] { claim_.portClaimed.store(false); }};
  CommandInterpreter interpreter_{settings_, serial_, claim_, parameters_, sender_};
  ClientDemux demux_{log_, serial_, interpreter_};
  ClientSlot clientA_;
  ClientSlot clientB_;
};

}  // namespace qs::testing
