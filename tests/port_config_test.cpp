// Port names, mode strings, device-type flags and the number rule.
#include "serial/port_config.h"

#include <gtest/gtest.h>

#include <string>

namespace qs {
namespace {

TEST(PortConfig, DevicePathFollowsTheNumberBehindTheFirstCom) {
  const std::pair<const char*, const char*> cases[] = {{"COM3", "COM3"},
                                                       {"COM7", "COM7"},
                                                       {"COM8", "\\\\.\\COM8"},
                                                       {"COM19", "\\\\.\\COM19"},
                                                       {"\\\\.\\COM12", "\\\\.\\COM12"},
                                                       {"MYCOM2", "MYCOM2"},
                                                       {"XCOM9", "\\\\.\\COM9"},
                                                       {"COM", "COM"},
                                                       {"COM-4", "COM-4"},
                                                       {"COM 10", "\\\\.\\COM10"},
                                                       {"/DEV/TTYUSB0", "/DEV/TTYUSB0"}};
  for (const auto& [name, path] : cases) EXPECT_EQ(DevicePathFor(name), path) << name;
}

TEST(PortConfig, UpperCasesOnlyTheLettersAToZ) {
  std::string name = "com3 \xE9z/dev";
  UpperCasePortName(name);
  EXPECT_EQ(name, "COM3 \xE9Z/DEV");
}

TEST(PortConfig, ModeStringAndANulParityEndingIt) {
  EXPECT_EQ(FormatModeString(9600, 8, 'N', 1), "baud=9600 data=8 parity=N stop=1");
  EXPECT_EQ(FormatModeString(4294967295u, -1, 'E', -2147483647 - 1),
            "baud=4294967295 data=-1 parity=E stop=-2147483648");
  EXPECT_EQ(FormatModeString(0, 0, '\0', 0), "baud=0 data=0 parity=");
}

TEST(PortConfig, CtsFlowOnlyForItsDeviceTypes) {
  for (const int type :
       {10, 22, 23, 36, 72, 85, 89, 120, 132, 136, 154, 182, 208, 212, 220, 225, 227, 272}) {
    EXPECT_EQ(AdjustDcbFlags(0, type), 0x1416u) << type;
  }
  for (const int type : {0, 9, 11, 108, 228, 271, 273, -10}) {
    EXPECT_EQ(AdjustDcbFlags(0, type), 0x1412u) << type;
  }
  // The DTR and RTS handshake bits go; everything else the mode string set stays.
  EXPECT_EQ(AdjustDcbFlags(0xFFFFFFFFu, 0), 0xFFFFDFDFu);
  EXPECT_EQ(AdjustDcbFlags(0x0301u, 10), 0x1717u);
}

}  // namespace
}  // namespace qs
