// Start-up and shut-down: what runs, in which order, and what reaches the log file.
#include "app/application.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_serial_port.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

class FakeServer final : public TcpServerControl {
 public:
  explicit FakeServer(EventLog& log) : log_(log) {}
  void StartTcpServer() override { log_.LogEvent("<server start>"); }
  void StopTcpServer() override { log_.LogEvent("<server stop>"); }

 private:
  EventLog& log_;
};

class ApplicationTest : public ::testing::Test {
 protected:
  ApplicationTest() {
    serial_.onCall = [this](const char* what) { log_.LogEvent(std::string("<") + what + ">"); };
  }

  // The record that "setuplite.dat" would give.
  void FileHolds(const std::string& port, std::int32_t alwaysOpen) {
    Settings s{};
    std::memcpy(s.portName, port.data(), port.size());
    std::memcpy(s.logFilePath, logPath_.data(), logPath_.size());
    s.portAlwaysOpen = alwaysOpen;
    s.baudRate = 19200;
    s.dataBits = 7;
    s.parity = 'E';
    s.stopBits = 2;
    fileRecord_ = s;
  }

  int Run(std::vector<std::string> addresses = {"10.0.0.7", "192.168.1.20"}) {
    const Application app{settings_,
                          log_,
                          server_,
                          serial_,
                          [addresses] { return addresses; },
                          [this] { settings_.Replace(fileRecord_); },
                          [this] {
                            log_.LogEvent("<dialog>");
                            if (duringDialog_) duringDialog_();
                            return dialogResult_;
                          }};
    return RunApplication(app);
  }

  // The texts of the log file's lines, in order.
  std::vector<std::string> LoggedTexts() {
    const std::string bytes = testing::ReadBytes(logPath_);
    std::vector<std::string> texts;
    std::size_t at = 0;
    while ((at = bytes.find("\r\n", at)) != std::string::npos) {
      const std::size_t next = bytes.find("\r\n", at + 2);
      texts.push_back(bytes.substr(at + 20, next == std::string::npos ? next : next - at - 20));
      at += 2;
    }
    return texts;
  }

  testing::TempDir dir_;
  std::string logPath_ = dir_.File("events.log");
  Settings fileRecord_{};
  SettingsStore settings_;
  testing::FakeClock clock_;
  EventLog log_{settings_, clock_};
  testing::FakeSerialPort serial_;
  FakeServer server_{log_};
  int dialogResult_ = 1;
  std::function<void()> duringDialog_;
};

TEST_F(ApplicationTest, AlwaysOpenRunsEveryStepInOrderAndReturnsTheDialogResult) {
  FileHolds("com4", 1);
  dialogResult_ = 2;
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(LoggedTexts(),
            (std::vector<std::string>{kStartLine, "My IP adres:10.0.0.7",
                                      "My IP adres:192.168.1.20", "<server start>", "<open>",
                                      "<dialog>", "<close>", "<server stop>", kEndLine}));
  // The start-up open takes the record's line settings and the fixed read time-outs.
  EXPECT_EQ(serial_.opens, std::vector<std::string>{"COM4 19200 7 E 2 10 50 0"});
  // The record keeps the upper-cased name that the open left.
  EXPECT_EQ(settings_.PortName(), "COM4");
}

TEST_F(ApplicationTest, OnDemandModeOpensAndClosesNothingAndNoAddressesLogNothing) {
  FileHolds("COM4", 0);
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(LoggedTexts(), (std::vector<std::string>{kStartLine, "<server start>", "<dialog>",
                                                     "<server stop>", kEndLine}));
  EXPECT_TRUE(serial_.opens.empty());
  EXPECT_EQ(serial_.closeCalls, 0);
}

TEST_F(ApplicationTest, ShutDownClosesTheAlwaysOpenPortByTheModeOfThatMoment) {
  FileHolds("COM4", 1);
  duringDialog_ = [this] { settings_.Update([](Settings& s) { s.portAlwaysOpen = 0; }); };
  Run();
  EXPECT_EQ(serial_.closeCalls, 0);

  FileHolds("COM4", 0);
  duringDialog_ = [this] { settings_.Update([](Settings& s) { s.portAlwaysOpen = 1; }); };
  Run();
  EXPECT_EQ(serial_.closeCalls, 1);
}

}  // namespace
}  // namespace qs
