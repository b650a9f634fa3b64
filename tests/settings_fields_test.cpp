// The record's fields by name: what each shows, and the strict setting that refuses bad values.
#include "settings/settings_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qs {
namespace {

std::string Show(const Settings& s, const char* name) {
  const SettingsField* field = FindSettingsField(name);
  EXPECT_NE(field, nullptr) << name;
  return field ? field->show(s) : std::string();
}

// Sets one field; the refusal text, empty when the value went in.
std::string Set(Settings& s, const char* name, const std::string& value) {
  const SettingsField* field = FindSettingsField(name);
  EXPECT_NE(field, nullptr) << name;
  return field ? field->set(s, value) : std::string("no field");
}

bool SameBytes(const Settings& a, const Settings& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(SettingsFields, NamedAsTheRecordInItsOrder) {
  std::string names;
  for (const SettingsField& field : SettingsFields()) names += std::string(field.name) + " ";
  EXPECT_EQ(names,
            "portName baudRate portAlwaysOpen parity stopBits dataBits logFilePath tcpPort "
            "autoDisconnectSeconds ");
  EXPECT_EQ(FindSettingsField("tcpport"), nullptr);
  EXPECT_EQ(FindSettingsField(""), nullptr);
}

TEST(SettingsFields, AllZeroRecordShowsAsTheDialogWouldFillIt) {
  const Settings zero{};
  for (const char* name :
       {"baudRate", "portAlwaysOpen", "stopBits", "dataBits", "tcpPort", "autoDisconnectSeconds"}) {
    EXPECT_EQ(Show(zero, name), "0") << name;
  }
  EXPECT_EQ(Show(zero, "portName"), "");
  EXPECT_EQ(Show(zero, "logFilePath"), "");
  // No parity button stands for a zero byte: shown as its value, not as a letter.
  EXPECT_EQ(Show(zero, "parity"), "0x00");
}

TEST(SettingsFields, SignedNumbersShowUnsignedAndSetBackTheSameBits) {
  Settings s{};
  s.autoDisconnectSeconds = -1;
  EXPECT_EQ(Show(s, "autoDisconnectSeconds"), "4294967295");
  s.autoDisconnectSeconds = 0;
  EXPECT_EQ(Set(s, "autoDisconnectSeconds", "4294967295"), "");
  EXPECT_EQ(s.autoDisconnectSeconds, -1);
  EXPECT_EQ(Set(s, "autoDisconnectSeconds", "2147483648"), "");
  EXPECT_EQ(s.autoDisconnectSeconds, INT32_MIN);
  EXPECT_EQ(Set(s, "baudRate", "4294967295"), "");
  EXPECT_EQ(s.baudRate, 4294967295u);
  // Blanks in front are skipped, as the dialog's number boxes do; leading zeros are digits.
  EXPECT_EQ(Set(s, "baudRate", "  0019200"), "");
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(Show(s, "baudRate"), "19200");
}

TEST(SettingsFields, NumbersThatTheDialogWouldStoreAsZeroAreRefused) {
  Settings s{};
  s.baudRate = 9600;
  s.tcpPort = 4000;
  s.autoDisconnectSeconds = 30;
  const Settings before = s;
  for (const char* text : {"", "   ", "abc", "96 00", "9600 ", "-1", "+5", "0x10", "1e3"}) {
    EXPECT_EQ(Set(s, "baudRate", text), "not a number (decimal digits only)") << text;
    EXPECT_NE(Set(s, "tcpPort", text), "") << text;
    EXPECT_NE(Set(s, "autoDisconnectSeconds", text), "") << text;
  }
  EXPECT_EQ(Set(s, "baudRate", "4294967296"), "out of range (0 to 4294967295)");
  EXPECT_EQ(Set(s, "autoDisconnectSeconds", "99999999999999999999"),
            "out of range (0 to 4294967295)");
  EXPECT_TRUE(SameBytes(s, before));
}

TEST(SettingsFields, TcpPortStopsAtSixteenBits) {
  Settings s{};
  EXPECT_EQ(Set(s, "tcpPort", "65535"), "");
  EXPECT_EQ(s.tcpPort, 65535);
  EXPECT_EQ(Set(s, "tcpPort", "65536"), "out of range (0 to 65535)");
  EXPECT_EQ(Set(s, "tcpPort", "4294967295"), "out of range (0 to 65535)");
  EXPECT_EQ(s.tcpPort, 65535);
  EXPECT_EQ(Set(s, "tcpPort", "0"), "");  // the default port
  EXPECT_EQ(s.tcpPort, 0);
}

TEST(SettingsFields, ChoicesTakeOnlyWhatTheirButtonsStore) {
  Settings s{};
  EXPECT_EQ(Set(s, "parity", "e"), "");
  EXPECT_EQ(s.parity, 'E');
  EXPECT_EQ(Show(s, "parity"), "E");
  EXPECT_EQ(Set(s, "parity", "O"), "");
  EXPECT_EQ(Set(s, "stopBits", "2"), "");
  EXPECT_EQ(Set(s, "dataBits", "7"), "");
  EXPECT_EQ(Set(s, "portAlwaysOpen", "1"), "");
  const Settings before = s;
  for (const char* text : {"", "X", "NE", "none", "0"}) {
    EXPECT_EQ(Set(s, "parity", text), "must be N, E or O") << text;
  }
  EXPECT_EQ(Set(s, "stopBits", "1.5"), "must be 1 or 2");
  EXPECT_EQ(Set(s, "stopBits", "0"), "must be 1 or 2");
  EXPECT_EQ(Set(s, "dataBits", "08"), "must be 7 or 8");
  EXPECT_EQ(Set(s, "dataBits", "5"), "must be 7 or 8");
  EXPECT_EQ(Set(s, "portAlwaysOpen", "2"), "must be 0 or 1");
  EXPECT_EQ(Set(s, "portAlwaysOpen", "yes"), "must be 0 or 1");
  EXPECT_TRUE(SameBytes(s, before));
  // A byte the dialog never stores shows as its value.
  s.parity = 'M';
  EXPECT_EQ(Show(s, "parity"), "0x4D");
}

TEST(SettingsFields, TextsUpToNinetyNineBytesGoInWithTheirNul) {
  Settings s{};
  std::memset(s.logFilePath, 'x', sizeof s.logFilePath);
  EXPECT_EQ(Set(s, "logFilePath", "events.log"), "");
  EXPECT_EQ(Show(s, "logFilePath"), "events.log");
  // Behind the NUL the field keeps what it held, as the dialog leaves it.
  EXPECT_EQ(s.logFilePath[11], 'x');
  EXPECT_EQ(Set(s, "portName", std::string(99, 'p')), "");
  EXPECT_EQ(Show(s, "portName"), std::string(99, 'p'));
  EXPECT_EQ(s.portName[99], '\0');
  const Settings before = s;
  EXPECT_EQ(Set(s, "portName", std::string(100, 'q')),
            "100 bytes long; its field holds at most 99");
  EXPECT_TRUE(SameBytes(s, before));
  EXPECT_EQ(Set(s, "portName", ""), "");
  EXPECT_EQ(Show(s, "portName"), "");
}

TEST(SettingsFields, ATextFieldWithoutNulShowsItsHundredBytesOnly) {
  Settings s{};
  std::memset(s.portName, 'A', sizeof s.portName);
  s.reserved100[0] = 'Z';
  EXPECT_EQ(Show(s, "portName"), std::string(100, 'A'));
}

}  // namespace
}  // namespace qs
