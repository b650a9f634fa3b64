// A serial link on a device in memory, its log captured, for the serial link's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "bridge/client_sender.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_comm.h"
#include "fakes/fake_sockets.h"
#include "fakes/journal.h"
#include "log/event_log.h"
#include "serial/port_usage.h"
#include "serial/serial_link.h"
#include "settings/settings_store.h"
#include "support/captured_lines.h"

namespace qs::testing {

class SerialLinkTest : public ::testing::Test {
 protected:
  SerialLinkTest() {
    log_.SetLogView(&lines_);
    comm_.device.journal = &journal_;
    sockets_.journal = &journal_;
  }
  ~SerialLinkTest() override { log_.SetLogView(nullptr); }

  int Open(SerialLink& link, std::string name = "COM3") {
    return link.OpenSerialPort(name, 9600, 8, 'N', 1, 10, 50, 0);
  }
  int Open(std::string name = "COM3") { return Open(link_, std::move(name)); }
  std::vector<std::string> Lines() { return lines_.Texts(); }
  std::vector<std::string> LinesFrom(std::size_t first) { return lines_.TextsFrom(first); }

  SettingsStore settings_;
  FakeClock clock_;
  EventLog log_{settings_, clock_};
  CapturedLines lines_;
  Journal journal_;
  FakeComm comm_;
  FakeSockets sockets_;
  PortUsage usage_;
  std::atomic<bool> claimed_{false};  // the bridge's claim, which every close releases
  ClientSender sender_{log_};
  SerialLink link_{log_, usage_, comm_, sender_, [this] { claimed_.store(false); }};
};

}  // namespace qs::testing
