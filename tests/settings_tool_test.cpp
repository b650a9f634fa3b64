// The settings tool's commands on a real folder: show, set, refusals, and what a write keeps.
#include "app/settings_tool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "settings/settings_file.h"
#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

class SettingsToolTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return RunSettingsTool(args, out_, err_);
  }
  // show --dir on the test's folder.
  std::string Shown() {
    EXPECT_EQ(Run({"show", "--dir", dir_.path().string()}), 0) << err_.str();
    return out_.str();
  }
  int SetInDir(std::vector<std::string> assignments) {
    assignments.insert(assignments.begin(), {"set", "--dir=" + dir_.path().string()});
    return Run(assignments);
  }
  std::string File() const { return dir_.File(kSettingsFileName); }

  TempDir dir_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// A record with something in every reserved byte and a tail behind it.
std::string FileWithReservedBytes() {
  std::string image(kSettingsSize, '\0');
  std::memcpy(&image[0], "COM2", 4);
  image.replace(100, 4, "\xA1\xA2\xA3\xA4", 4);
  image[112] = 'E';
  image.replace(113, 3, "\xB1\xB2\xB3", 3);
  image.replace(116, 4, "\x01\x00\x00\x00", 4);
  image.replace(120, 4, "\x08\x00\x00\x00", 4);
  image.replace(224, 4, "\xC1\xC2\xC3\xC4", 4);
  return image + "written by some other tool";
}

TEST_F(SettingsToolTest, ShowOnAMissingFilePrintsTheAllZeroRecordAndSaysSo) {
  EXPECT_EQ(Shown(),
            "portName=\nbaudRate=0\nportAlwaysOpen=0\nparity=0x00\nstopBits=0\ndataBits=0\n"
            "logFilePath=\ntcpPort=0\nautoDisconnectSeconds=0\n");
  EXPECT_NE(err_.str().find("not found"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(File()));

  WriteBytes(File(), std::string(kSettingsSize - 1, '\x33'));
  EXPECT_NE(Shown().find("baudRate=0\n"), std::string::npos);
  EXPECT_NE(err_.str().find("shorter than 236 bytes"), std::string::npos) << err_.str();
}

TEST_F(SettingsToolTest, SetThenShowAndTheProgramsLoaderAgree) {
  ASSERT_EQ(SetInDir({"portName=COM7", "baudRate=115200", "portAlwaysOpen=1", "parity=o",
                      "stopBits=2", "dataBits=7", "logFilePath=/var/log/q.log", "tcpPort=4001",
                      "autoDisconnectSeconds=4294967295"}),
            0)
      << err_.str();
  EXPECT_EQ(err_.str(), "");  // a new file: nothing to warn about
  EXPECT_EQ(Shown(),
            "portName=COM7\nbaudRate=115200\nportAlwaysOpen=1\nparity=O\nstopBits=2\n"
            "dataBits=7\nlogFilePath=/var/log/q.log\ntcpPort=4001\n"
            "autoDisconnectSeconds=4294967295\n");
  EXPECT_EQ(err_.str(), "");

  const Settings loaded = ReadSettingsFile(File());
  EXPECT_EQ(FieldText(loaded.portName), "COM7");
  EXPECT_EQ(loaded.baudRate, 115200u);
  EXPECT_EQ(loaded.parity, 'O');
  EXPECT_EQ(loaded.dataBits, 7);
  EXPECT_EQ(EffectiveTcpPort(loaded), 4001);
  EXPECT_EQ(loaded.autoDisconnectSeconds, -1);
  EXPECT_EQ(ReadBytes(File()).size(), kSettingsSize);
}

TEST_F(SettingsToolTest, SetChangesOnlyTheNamedFieldsAndKeepsEveryOtherByte) {
  const std::string before = FileWithReservedBytes();
  WriteBytes(File(), before);
  ASSERT_EQ(SetInDir({"tcpPort=1500", "logFilePath=x.log"}), 0) << err_.str();

  std::string expected = before;
  expected.replace(228, 4, "\xDC\x05\x00\x00", 4);  // 1500
  std::memcpy(&expected[124], "x.log", 6);
  EXPECT_EQ(ReadBytes(File()), expected);
}

TEST_F(SettingsToolTest, ARefusedValueLeavesTheFileAsItWas) {
  const std::string before = FileWithReservedBytes();
  WriteBytes(File(), before);
  const auto written = std::filesystem::last_write_time(File());
  // One good value beside the bad ones: nothing at all is written.
  EXPECT_EQ(SetInDir({"baudRate=9600", "tcpPort=70000", "stopBits=3", "colour=red",
                      "logFilePath=" + std::string(100, 'l'), "dataBits"}),
            kToolRefused);
  const std::string err = err_.str();
  for (const char* reason :
       {"tcpPort=70000: out of range (0 to 65535)", "stopBits=3: must be 1 or 2",
        "unknown field 'colour'", "100 bytes long", "'dataBits' is not FIELD=VALUE",
        "nothing was changed"}) {
    EXPECT_NE(err.find(reason), std::string::npos) << reason << " in:\n" << err;
  }
  EXPECT_EQ(err.find("baudRate=9600"), std::string::npos) << err;  // the good one is fine
  EXPECT_EQ(ReadBytes(File()), before);
  EXPECT_EQ(std::filesystem::last_write_time(File()), written);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(SettingsToolTest, ACommandLineItCannotReadIsAUsageError) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"list"},
                                             {"set"},
                                             {"show", "--dir"},
                                             {"show", "tcpPort=1"},
                                             {"--dir", "."},
                                             {"show", "--dir", "a", "--dir", "b"},
                                             {"set", "--force", "tcpPort=1"}}) {
    EXPECT_EQ(Run(args), kToolUsage) << (args.empty() ? "" : args[0]);
    EXPECT_NE(err_.str().find("usage: quillon-smart-settings"), std::string::npos);
    EXPECT_EQ(out_.str(), "");
  }
  EXPECT_EQ(Run({"--help"}), 0);
  EXPECT_NE(out_.str().find("Fields: portName baudRate"), std::string::npos);
  EXPECT_EQ(Run({"--version"}), 0);
  EXPECT_EQ(out_.str().rfind("quillon-smart-settings 1.4.", 0), 0u) << out_.str();
}

TEST_F(SettingsToolTest, AFileThatCannotBeWrittenIsReportedAndNotTouched) {
  const std::string missing = (dir_.path() / "not-here").string();
  EXPECT_EQ(Run({"set", "--dir", missing, "tcpPort=1400"}), kToolRefused);
  EXPECT_NE(err_.str().find("could not write"), std::string::npos) << err_.str();
  EXPECT_FALSE(std::filesystem::exists(missing));
}

#ifndef _WIN32
// The terminal dialogs show and take Unicode while the record holds code page 1250; the
// tool does the same with its UTF-8 arguments and output.
TEST_F(SettingsToolTest, TextsTravelAsUtf8AndAreStoredInCodePage1250) {
  ASSERT_EQ(SetInDir({"logFilePath=dziennik-\xC5\x82\xC3\xB3\xC5\xBA.log"}), 0) << err_.str();
  const Settings loaded = ReadSettingsFile(File());
  EXPECT_EQ(FieldText(loaded.logFilePath), "dziennik-\xB3\xF3\x9F.log");
  EXPECT_NE(Shown().find("logFilePath=dziennik-\xC5\x82\xC3\xB3\xC5\xBA.log\n"), std::string::npos);

  const std::string before = ReadBytes(File());
  EXPECT_EQ(SetInDir({"portName=\xE2\x82\xAC\xE2\x98\x83"}), kToolRefused);  // a snowman
  EXPECT_EQ(SetInDir({"portName=\xC3\x28"}), kToolRefused);                  // not UTF-8
  EXPECT_NE(err_.str().find("code page 1250"), std::string::npos) << err_.str();
  EXPECT_EQ(ReadBytes(File()), before);
  // 99 two-byte characters are 99 bytes in the record: they fit.
  std::string polish;
  for (int i = 0; i < 99; ++i) polish += "\xC5\x82";
  EXPECT_EQ(SetInDir({"portName=" + polish}), 0) << err_.str();
}

TEST_F(SettingsToolTest, AReplacedFileKeepsItsMode) {
  WriteBytes(File(), FileWithReservedBytes());
  namespace fs = std::filesystem;
  fs::permissions(File(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(SetInDir({"tcpPort=1"}), 0) << err_.str();
  EXPECT_EQ(fs::status(File()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}
#endif

}  // namespace
}  // namespace qs
