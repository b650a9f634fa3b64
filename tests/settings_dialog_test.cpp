// The settings dialog against in-memory controls: what it shows, saves and applies.
#include "app/settings_dialog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_dialog_window.h"
#include "fakes/fake_serial_port.h"
#include "settings/settings_file.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using D = SettingsDialog;

class FakeServer final : public TcpServerControl {
 public:
  void StartTcpServer() override { calls.push_back("start"); }
  void StopTcpServer() override { calls.push_back("stop"); }
  std::vector<std::string> calls;
};

class SettingsDialogTest : public ::testing::Test {
 protected:
  SettingsDialogTest() {
    serial_.onCall = [this](const char* what) {
      serialCalls_.push_back(std::string(what) + (log_.screenLogEnabled() ? "+screen" : ""));
    };
  }

  void Open() { dialog_.OnOpen(window_); }
  void Ok() { dialog_.OnCommand(window_, D::kOk); }
  void Click(int id) {
    window_.checks[id] = !window_.checks[id];
    dialog_.OnCommand(window_, id);
  }
  Settings Saved() { return ReadSettingsFile(kSettingsFileName); }

  testing::TempDir dir_;
  testing::WorkingDirectory cwd_{dir_.path()};
  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  testing::FakeSerialPort serial_;
  std::vector<std::string> serialCalls_;
  FakeServer server_;
  SettingsDialog dialog_{settings_, log_, serial_, server_};
  testing::FakeDialogWindow window_;
};

TEST_F(SettingsDialogTest, AnAllZeroRecordOpensEmptyAndOkStoresTheDefaults) {
  Open();
  EXPECT_EQ(window_.texts[D::kPort], "");
  EXPECT_EQ(window_.texts[D::kSpeed], "0");
  EXPECT_EQ(window_.texts[D::kTcpPort], "0");
  EXPECT_EQ(window_.texts[D::kAutoDisconnect], "0");
  for (const int id : {D::kAlwaysOpen, D::kParityNone, D::kParityEven, D::kParityOdd, D::kData8,
                       D::kData7, D::kStop1, D::kStop2}) {
    EXPECT_FALSE(window_.checks[id]) << id;
  }
  for (const int id : {D::kPort, D::kSpeed, D::kParityNone, D::kParityEven, D::kParityOdd,
                       D::kData8, D::kData7, D::kStop1, D::kStop2}) {
    EXPECT_FALSE(window_.IsEnabled(id)) << id;
  }
  EXPECT_TRUE(window_.IsEnabled(D::kLogFile));
  ASSERT_EQ(window_.comboLists[D::kPort].size(), 19u);
  EXPECT_EQ(window_.comboLists[D::kPort].front(), "COM1");
  EXPECT_EQ(window_.comboLists[D::kPort].back(), "COM19");
  EXPECT_EQ(window_.comboLists[D::kSpeed],
            (std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "57600",
                                      "115200"}));

  serial_.isOpen = true;  // a port a client opened
  Ok();
  const Settings saved = Saved();
  EXPECT_EQ(saved.parity, 'N');
  EXPECT_EQ(saved.stopBits, 2);
  EXPECT_EQ(saved.dataBits, 8);
  EXPECT_EQ(saved.baudRate, 0u);
  // N, 2 and 8 differ from the zeros: the port is closed, with the list switched off
  // meanwhile, and not opened again; the server keeps running.
  EXPECT_EQ(serialCalls_, std::vector<std::string>{"close"});
  EXPECT_TRUE(log_.screenLogEnabled());
  EXPECT_TRUE(server_.calls.empty());
  EXPECT_TRUE(window_.ended);
  EXPECT_EQ(window_.endResult, 1);
}

TEST_F(SettingsDialogTest, ShowsAndReadsBackEveryField) {
  Settings s{};
  std::strcpy(s.portName, "com4");
  std::strcpy(s.logFilePath, "old.log");
  s.baudRate = 19200;
  s.portAlwaysOpen = 1;
  s.parity = 'O';
  s.stopBits = 1;
  s.dataBits = 7;
  s.tcpPort = 1336;
  s.autoDisconnectSeconds = -1;
  s.reserved100[0] = 0x5A;
  settings_.Replace(s);
  Open();
  EXPECT_EQ(window_.texts[D::kAutoDisconnect], "4294967295");
  EXPECT_TRUE(window_.checks[D::kParityOdd] && window_.checks[D::kStop1] &&
              window_.checks[D::kData7] && window_.checks[D::kAlwaysOpen]);
  EXPECT_TRUE(window_.IsEnabled(D::kSpeed));

  window_.texts[D::kSpeed] = "57600";
  window_.checks[D::kParityOdd] = false;
  window_.checks[D::kParityEven] = true;
  window_.texts[D::kLogFile] = std::string(150, 'L');
  window_.texts[D::kAutoDisconnect] = "4294967295";
  Ok();
  const Settings saved = Saved();
  EXPECT_EQ(saved.baudRate, 57600u);
  EXPECT_EQ(saved.parity, 'E');
  EXPECT_EQ(FieldText(saved.logFilePath), std::string(99, 'L'));
  EXPECT_EQ(saved.autoDisconnectSeconds, -1);
  EXPECT_EQ(saved.reserved100[0], 0x5A);
  // Always open: closed and opened again at once with the new values, under the record's
  // own name, which it keeps upper-cased.
  EXPECT_EQ(serialCalls_, (std::vector<std::string>{"close", "open"}));
  EXPECT_EQ(serial_.opens, std::vector<std::string>{"COM4 57600 7 E 1 10 50 0"});
  EXPECT_EQ(settings_.PortName(), "COM4");
}

TEST_F(SettingsDialogTest, ADevicePathIsOpenedShownAndSavedAsTyped) {
  Open();
  window_.texts[D::kPort] = "Dev/ttyMixed0";
  window_.texts[D::kSpeed] = "9600";
  window_.checks[D::kAlwaysOpen] = true;
  Ok();
  EXPECT_EQ(serial_.opens.back().substr(0, 14), "Dev/ttyMixed0 ");
  EXPECT_EQ(FieldText(Saved().portName), "Dev/ttyMixed0");
  Open();
  EXPECT_EQ(window_.texts[D::kPort], "Dev/ttyMixed0");
}

TEST_F(SettingsDialogTest, NumbersThatDoNotConvertAreZero) {
  for (const char* text : {"", "12ab", "-5", "4294967296", "99999999999999999999", " "}) {
    EXPECT_EQ(ParseUnsignedField(text), 0u) << text;
  }
  EXPECT_EQ(ParseUnsignedField("  4294967295"), 4294967295u);
  EXPECT_EQ(ParseUnsignedField("0042"), 42u);
}

TEST_F(SettingsDialogTest, OnlyTheLogPathOrIdleTimeChangedTouchesNothing) {
  Open();
  Ok();  // the first OK turns the zeros into N, 2 and 8
  serialCalls_.clear();
  Open();
  window_.texts[D::kLogFile] = "new.log";
  window_.texts[D::kAutoDisconnect] = "30";
  Ok();
  EXPECT_EQ(FieldText(Saved().logFilePath), "new.log");
  EXPECT_EQ(Saved().autoDisconnectSeconds, 30);
  EXPECT_TRUE(serialCalls_.empty());
  EXPECT_TRUE(server_.calls.empty());
}

TEST_F(SettingsDialogTest, TheAlwaysOpenBoxActsInMemoryAtOnce) {
  Open();
  Ok();
  serialCalls_.clear();

  Open();
  Click(D::kAlwaysOpen);
  EXPECT_EQ(settings_.Snapshot().portAlwaysOpen, 1);
  EXPECT_TRUE(window_.IsEnabled(D::kPort));
  Click(D::kAlwaysOpen);
  Ok();  // clicked twice: no serial change
  EXPECT_TRUE(serialCalls_.empty());

  Open();
  Click(D::kAlwaysOpen);
  dialog_.OnCommand(window_, platform::DialogHandler::kCancel);
  EXPECT_EQ(window_.endResult, 2);
  EXPECT_EQ(settings_.Snapshot().portAlwaysOpen, 1) << "the last click stays in memory";
  EXPECT_EQ(Saved().portAlwaysOpen, 0) << "but not in the file";
  EXPECT_TRUE(serialCalls_.empty());
}

TEST_F(SettingsDialogTest, ANewTcpPortRestartsTheServer) {
  Open();
  window_.texts[D::kTcpPort] = "1336";  // from 0: the same port, but another stored number
  Ok();
  EXPECT_EQ(server_.calls, (std::vector<std::string>{"stop", "start"}));
}

}  // namespace
}  // namespace qs
