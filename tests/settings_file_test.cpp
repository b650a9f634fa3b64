// "setuplite.dat": the exact file image, short and long files, reserved bytes, unbounded texts.
#include "settings/settings_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace qs {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WorkingDirectory;
using testing::WriteBytes;

// A file image with every field set, little-endian, the reserved bytes non-zero.
std::string SampleImage() {
  std::string image(kSettingsSize, '\0');
  std::memcpy(&image[0], "com3", 4);
  image.replace(100, 4, "\xA1\xA2\xA3\xA4", 4);
  image.replace(104, 4, "\x00\xC2\x01\x00", 4);  // 115200
  image.replace(108, 4, "\x01\x00\x00\x00", 4);
  image[112] = 'E';
  image.replace(113, 3, "\xB1\xB2\xB3", 3);
  image.replace(116, 4, "\x02\x00\x00\x00", 4);
  image.replace(120, 4, "\x07\x00\x00\x00", 4);
  std::memcpy(&image[124], "C:\\logs\\quillon.log", 19);
  image.replace(224, 4, "\xC1\xC2\xC3\xC4", 4);
  image.replace(228, 4, "\xA0\x0F\x00\x00", 4);  // 4000
  image.replace(232, 4, "\xFF\xFF\xFF\xFF", 4);  // -1
  return image;
}

bool IsAllZero(const Settings& settings) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&settings);
  for (std::size_t i = 0; i < sizeof settings; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

TEST(SettingsFile, ReadsEveryFieldAtItsOffset) {
  TempDir dir;
  WriteBytes(dir.File("s.dat"), SampleImage());
  const Settings s = ReadSettingsFile(dir.File("s.dat"));
  EXPECT_EQ(FieldText(s.portName), "com3");
  EXPECT_EQ(s.baudRate, 115200u);
  EXPECT_EQ(s.portAlwaysOpen, 1);
  EXPECT_EQ(s.parity, 'E');
  EXPECT_EQ(s.stopBits, 2);
  EXPECT_EQ(s.dataBits, 7);
  EXPECT_EQ(FieldText(s.logFilePath), "C:\\logs\\quillon.log");
  EXPECT_EQ(s.tcpPort, 4000);
  EXPECT_EQ(EffectiveTcpPort(s), 4000);
  EXPECT_EQ(s.autoDisconnectSeconds, -1);
}

TEST(SettingsFile, MissingOrShortFileGivesTheAllZeroRecord) {
  TempDir dir;
  EXPECT_TRUE(IsAllZero(ReadSettingsFile(dir.File("missing.dat"))));

  WriteBytes(dir.File("short.dat"), SampleImage().substr(0, kSettingsSize - 1));
  const Settings shortFile = ReadSettingsFile(dir.File("short.dat"));
  EXPECT_TRUE(IsAllZero(shortFile));
  EXPECT_EQ(EffectiveTcpPort(shortFile), kDefaultTcpPort);

  WriteBytes(dir.File("empty.dat"), "");
  EXPECT_TRUE(IsAllZero(ReadSettingsFile(dir.File("empty.dat"))));
}

TEST(SettingsFile, LongerFileGivesItsFirst236Bytes) {
  TempDir dir;
  const std::string image = SampleImage();
  WriteBytes(dir.File("long.dat"), image + std::string(64, '\x5A'));
  const Settings s = ReadSettingsFile(dir.File("long.dat"));
  EXPECT_EQ(std::memcmp(&s, image.data(), kSettingsSize), 0);
}

TEST(SettingsFile, LoadThenSaveWritesTheSameBytesIncludingReserved) {
  TempDir dir;
  WorkingDirectory cwd(dir.path());
  const std::string image = SampleImage();
  WriteBytes(kSettingsFileName, image);

  SettingsStore store;
  LoadSettings(store);
  store.Update([](Settings& s) { s.baudRate = 9600; });
  SaveSettings(store);

  std::string expected = image;
  expected.replace(104, 4, "\x80\x25\x00\x00", 4);  // 9600
  EXPECT_EQ(ReadBytes(kSettingsFileName), expected);
}

TEST(SettingsFile, SaveReplacesALongerFileWithExactly236Bytes) {
  TempDir dir;
  WriteBytes(dir.File("s.dat"), std::string(500, '\x11'));
  Settings s{};
  s.parity = 'N';
  WriteSettingsFile(dir.File("s.dat"), s);
  const std::string bytes = ReadBytes(dir.File("s.dat"));
  ASSERT_EQ(bytes.size(), kSettingsSize);
  EXPECT_EQ(bytes[112], 'N');
}

TEST(SettingsFile, SaveToAFolderThatIsNotThereIsSilent) {
  TempDir dir;
  Settings s{};
  WriteSettingsFile(dir.File("no/such/folder/s.dat"), s);
  EXPECT_FALSE(std::filesystem::exists(dir.File("no/such/folder/s.dat")));
}

TEST(SettingsFile, TextsWithoutANulEndWithTheirField) {
  TempDir dir;
  std::string image = SampleImage();
  image.replace(0, 100, std::string(100, 'P'));
  image.replace(124, 100, std::string(100, 'L'));
  WriteBytes(dir.File("s.dat"), image);

  SettingsStore store;
  store.Replace(ReadSettingsFile(dir.File("s.dat")));
  // Without the bound the port name would run on into the reserved bytes and the baud rate,
  // and the log path into the reserved bytes and the TCP port.
  EXPECT_EQ(store.PortName(), std::string(100, 'P'));
  EXPECT_EQ(store.LogFilePath(), std::string(100, 'L'));
}

TEST(SettingsFile, ImageTellsWhatTheReadFoundAndKeepsTheBytesBehindTheRecord) {
  TempDir dir;
  EXPECT_EQ(ReadSettingsFileImage(dir.File("missing.dat")).state, SettingsFileState::kMissing);
  WriteBytes(dir.File("short.dat"), SampleImage().substr(0, 10));
  const SettingsFileImage shortFile = ReadSettingsFileImage(dir.File("short.dat"));
  EXPECT_EQ(shortFile.state, SettingsFileState::kShort);
  EXPECT_TRUE(IsAllZero(shortFile.settings));
  EXPECT_TRUE(shortFile.trailing.empty());
  // A folder opens for reading on POSIX, but reads nothing: it counts as short there.
  EXPECT_NE(ReadSettingsFileImage(dir.path().string()).state, SettingsFileState::kRead);

  const std::string tail(2000, '\x5A');
  WriteBytes(dir.File("long.dat"), SampleImage() + tail);
  const SettingsFileImage longFile = ReadSettingsFileImage(dir.File("long.dat"));
  EXPECT_EQ(longFile.state, SettingsFileState::kRead);
  EXPECT_EQ(std::memcmp(&longFile.settings, SampleImage().data(), kSettingsSize), 0);
  EXPECT_EQ(longFile.trailing, tail);

  WorkingDirectory cwd(dir.path());
  SettingsStore store;
  EXPECT_EQ(LoadSettings(store), SettingsFileState::kMissing);
  WriteBytes(kSettingsFileName, SampleImage());
  EXPECT_EQ(LoadSettings(store), SettingsFileState::kRead);
  EXPECT_EQ(store.PortName(), "com3");
}

TEST(SettingsFile, ReplaceWritesTheImageWholeAndLeavesNoOtherFile) {
  TempDir dir;
  const std::string path = dir.File("s.dat");
  WriteBytes(path, SampleImage() + "tail");
  SettingsFileImage image = ReadSettingsFileImage(path);
  image.settings.tcpPort = 1400;
  ASSERT_TRUE(ReplaceSettingsFile(path, image));

  std::string expected = SampleImage() + "tail";
  expected.replace(228, 4, "\x78\x05\x00\x00", 4);  // 1400
  EXPECT_EQ(ReadBytes(path), expected);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
  // A new file is made too; a folder that is not there gets nothing and says so.
  EXPECT_TRUE(ReplaceSettingsFile(dir.File("new.dat"), SettingsFileImage{}));
  EXPECT_EQ(ReadBytes(dir.File("new.dat")), std::string(kSettingsSize, '\0'));
  EXPECT_FALSE(ReplaceSettingsFile(dir.File("no/such/folder/s.dat"), image));
}

}  // namespace
}  // namespace qs
