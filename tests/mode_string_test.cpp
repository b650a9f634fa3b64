// The mode-string parser against the grammar of Win32's BuildCommDCB.
#include "platform/mode_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace qs::platform {
namespace {

constexpr std::uint32_t kDtrMask = 3u << kDcbDtrControlShift;
constexpr std::uint32_t kRtsMask = 3u << kDcbRtsControlShift;

// A block and time-outs full of recognisable junk, so untouched fields show.
struct Target {
  Target() {
    std::memset(&dcb, 0x5A, sizeof dcb);
    std::memset(&timeouts, 0x11, sizeof timeouts);
  }
  bool Parse(const std::string& mode) { return ParseModeString(mode, dcb, timeouts); }
  std::uint32_t Dtr() const { return (dcb.flags & kDtrMask) >> kDcbDtrControlShift; }
  std::uint32_t Rts() const { return (dcb.flags & kRtsMask) >> kDcbRtsControlShift; }
  bool Flag(std::uint32_t bit) const { return (dcb.flags & bit) != 0; }

  Dcb dcb;
  CommTimeouts timeouts;
};

bool Same(const Dcb& a, const Dcb& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
bool Same(const CommTimeouts& a, const CommTimeouts& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(ModeStringTest, AcceptsWhatBuildCommDcbAccepts) {
  const char* const accepted[] = {
      "",
      "baud=9600 parity=e data=5 stop=1 xon=on",
      "baud=9600 data=8 parity=N stop=1",
      "baud=0 parity=n data=8 stop=1",
      "BAUD=4000000000",
      "Baud=9600 PARITY=E Data=7 sToP=2 XON=ON",
      "baud=9600   data=8    stop=1",
      "data=08",
      "stop=1.5 data=8",
      "stop=01",
      "baud=99999999999",
      "to=on",
      "to=OFF",
      "xon=On odsr=off octs=on idsr=on",
      "dtr=on",
      "dtr=off",
      "dtr=hs",
      "rts=on",
      "rts=off",
      "rts=hs",
      "rts=tg",
      "parity=m",
      "parity=s",
      "parity=o",
      "COM1:",
      "COM1: ",
      "COM2 ",
      "com1:baud=9600",
      "COM1:baud=9600",
      "COM1: baud=9600",
      "COM12 baud=9600",
      "COM1  baud=9600",
      "9600,n,8,1",
      "96,N,8,1",
      "96,e,7,2,x",
      "96,n,8,1,X",
      "96,n,8,1,p",
      "96,n,8,1,",
      "96, n ,8 ,1 ",
      "96,n,5,1.5",
      "96,n,08,01",
      "0,n,8,1",
      "COM1:96,n,8,1",
      "COM1: 96,n,8,1",
  };
  for (const char* mode : accepted) {
    Target target;
    EXPECT_TRUE(target.Parse(mode)) << '"' << mode << '"';
  }
}

TEST(ModeStringTest, RefusesWhatBuildCommDcbRefusesAndChangesNothing) {
  const char* const refused[] = {
      "parity=",
      "parity=x",
      "parity=no",
      "data=0",
      "data=4",
      "data=9",
      "data=",
      "data=8x",
      "stop=0",
      "stop=3",
      "stop=1.0",
      "stop=15",
      "stop=1.",
      "stop=",
      "baud=-1",
      "baud=+9600",
      "baud=",
      "baud=9600=",
      " baud=9600",
      "baud= 9600",
      "baud = 9600",
      "baud=9600 ",
      "baud=9600\tdata=8",
      "baud=9600:",
      "speed=9600",
      "baud=9600 speed=1",
      "=9600",
      "baud",
      "xon=yes",
      "xon=onx",
      "to=o",
      "idsr=hs",
      "rts=toggle",
      "dtr=tg",
      "baud=9600 data=8 parity=z",  // a bad pair late in the string spoils the lot
      "baud=9600,",
      "baud=96,n,8,1",
      "9600,n,8,1 baud=1200",
      "COM1",
      "COM",
      "COM0:baud=9600",
      "COM01:baud=9600",
      "COM:baud=9600",
      "COM1x:baud=9600",
      " 96,n,8,1",
      "96,n,8",
      "96,,8,1",
      "96,x,8,1",
      "96,n,4,1",
      "96,n,9,1",
      "96,n,8,3",
      "96,n,8,1.0",
      "96,n,8,1x",
      "96,n,8,1,q",
      "96,n,8,1,p,x",
      "96,n,8,1,,",
      "-1,n,8,1",
      "+96,n,8,1",
  };
  for (const char* mode : refused) {
    Target target;
    const Target before;
    EXPECT_FALSE(target.Parse(mode)) << '"' << mode << '"';
    EXPECT_TRUE(Same(target.dcb, before.dcb)) << '"' << mode << '"';
    EXPECT_TRUE(Same(target.timeouts, before.timeouts)) << '"' << mode << '"';
  }
}

TEST(ModeStringTest, NewFormSetsTheNamedFields) {
  Target target;
  ASSERT_TRUE(target.Parse("baud=19200 parity=e data=7 stop=2"));
  EXPECT_EQ(target.dcb.BaudRate, 19200u);
  EXPECT_EQ(target.dcb.Parity, 2);
  EXPECT_EQ(target.dcb.ByteSize, 7);
  EXPECT_EQ(target.dcb.StopBits, 2);

  ASSERT_TRUE(target.Parse("BAUD=4000000000 data=08 stop=1.5 parity=S"));
  EXPECT_EQ(target.dcb.BaudRate, 4000000000u);
  EXPECT_EQ(target.dcb.ByteSize, 8);  // no cross-check of 1.5 stop bits with 8 data bits
  EXPECT_EQ(target.dcb.StopBits, 1);
  EXPECT_EQ(target.dcb.Parity, 4);

  ASSERT_TRUE(target.Parse("baud=99999999999"));
  EXPECT_EQ(target.dcb.BaudRate, 0xFFFFFFFFu);  // saturates
  ASSERT_TRUE(target.Parse("baud=0"));
  EXPECT_EQ(target.dcb.BaudRate, 0u);  // SetCommState refuses it later, not the parser

  const char* const parities[] = {"n", "o", "e", "m", "s"};
  for (std::uint8_t i = 0; i < 5; ++i) {
    ASSERT_TRUE(target.Parse(std::string("parity=") + parities[i]));
    EXPECT_EQ(target.dcb.Parity, i) << parities[i];
  }
}

TEST(ModeStringTest, LeavesFieldsTheStringDoesNotName) {
  Target target;
  const Target before;
  ASSERT_TRUE(target.Parse("baud=9600"));
  Dcb expected = before.dcb;
  expected.BaudRate = 9600;
  expected.StopBits = 0;  // implied
  EXPECT_TRUE(Same(target.dcb, expected));
  EXPECT_TRUE(Same(target.timeouts, before.timeouts));
}

TEST(ModeStringTest, ParitySetsParityButNeverParityChecking) {
  Target target;
  target.dcb.flags = 0;
  ASSERT_TRUE(target.Parse("parity=e"));
  EXPECT_FALSE(target.Flag(kDcbParity));
  target.dcb.flags = kDcbParity;
  ASSERT_TRUE(target.Parse("parity=n"));
  EXPECT_TRUE(target.Flag(kDcbParity));
}

TEST(ModeStringTest, OnOffKeysSetTheirFlags) {
  Target target;
  target.dcb.flags = 0;
  ASSERT_TRUE(target.Parse("xon=on"));
  EXPECT_EQ(target.dcb.flags, kDcbOutX | kDcbInX);
  ASSERT_TRUE(target.Parse("xon=off odsr=on"));
  EXPECT_EQ(target.dcb.flags, kDcbOutxDsrFlow);
  ASSERT_TRUE(target.Parse("odsr=off octs=on"));
  EXPECT_EQ(target.dcb.flags, kDcbOutxCtsFlow);
  ASSERT_TRUE(target.Parse("octs=off idsr=ON"));
  EXPECT_EQ(target.dcb.flags, kDcbDsrSensitivity);
  ASSERT_TRUE(target.Parse("idsr=Off"));
  EXPECT_EQ(target.dcb.flags, 0u);
}

TEST(ModeStringTest, DtrAndRtsModes) {
  Target target;
  const struct {
    const char* mode;
    std::uint32_t dtr;
    std::uint32_t rts;
  } cases[] = {
      {"dtr=on rts=off", 1, 0}, {"dtr=off rts=on", 0, 1}, {"dtr=hs rts=hs", 2, 2},
      {"dtr=HS rts=TG", 2, 3},  {"dtr=on rts=on", 1, 1},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(target.Parse(c.mode)) << c.mode;
    EXPECT_EQ(target.Dtr(), c.dtr) << c.mode;
    EXPECT_EQ(target.Rts(), c.rts) << c.mode;
  }
  const std::uint32_t others = target.dcb.flags & ~(kDtrMask | kRtsMask);
  ASSERT_TRUE(target.Parse("dtr=off rts=off"));
  EXPECT_EQ(target.dcb.flags, others);
}

TEST(ModeStringTest, LastRepeatedKeyWins) {
  Target target;
  ASSERT_TRUE(target.Parse("baud=9600 baud=300"));
  EXPECT_EQ(target.dcb.BaudRate, 300u);
  ASSERT_TRUE(target.Parse("xon=on xon=off"));
  EXPECT_FALSE(target.Flag(kDcbOutX));
  EXPECT_FALSE(target.Flag(kDcbInX));
  ASSERT_TRUE(target.Parse("stop=2 stop=1.5 data=5"));
  EXPECT_EQ(target.dcb.StopBits, 1);
}

TEST(ModeStringTest, StopBitsDefaultToOneOrTwoAt110Baud) {
  Target target;
  ASSERT_TRUE(target.Parse("baud=110"));
  EXPECT_EQ(target.dcb.StopBits, 2);
  ASSERT_TRUE(target.Parse("baud=110 stop=1"));
  EXPECT_EQ(target.dcb.StopBits, 0);
  ASSERT_TRUE(target.Parse("stop=2 baud=110 stop=1.5"));
  EXPECT_EQ(target.dcb.StopBits, 1);

  // Only a rate given in the string counts, not the one the block already had.
  target.dcb.BaudRate = 110;
  target.dcb.StopBits = 2;
  ASSERT_TRUE(target.Parse("data=7"));
  EXPECT_EQ(target.dcb.StopBits, 0);
  target.dcb.StopBits = 2;
  ASSERT_TRUE(target.Parse(""));
  EXPECT_EQ(target.dcb.StopBits, 0);
  ASSERT_TRUE(target.Parse("baud=9600"));
  EXPECT_EQ(target.dcb.StopBits, 0);
}

TEST(ModeStringTest, TimeoutSwitch) {
  Target target;
  ASSERT_TRUE(target.Parse("to=on"));
  EXPECT_EQ(target.timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(target.timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(target.timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(target.timeouts.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(target.timeouts.WriteTotalTimeoutConstant, 60000u);

  ASSERT_TRUE(target.Parse("TO=OFF"));
  EXPECT_TRUE(Same(target.timeouts, CommTimeouts{}));

  ASSERT_TRUE(target.Parse("to=off to=on"));
  EXPECT_EQ(target.timeouts.WriteTotalTimeoutConstant, 60000u);

  Target untouched;
  const Target before;
  ASSERT_TRUE(untouched.Parse("baud=9600 xon=on"));
  EXPECT_TRUE(Same(untouched.timeouts, before.timeouts));
}

TEST(ModeStringTest, DevicePrefixIsSkipped) {
  Target withPrefix;
  Target without;
  ASSERT_TRUE(withPrefix.Parse("COM3: baud=2400 data=7"));
  ASSERT_TRUE(without.Parse("baud=2400 data=7"));
  EXPECT_TRUE(Same(withPrefix.dcb, without.dcb));
}

TEST(ModeStringTest, OldFormFieldsAndAbbreviatedRates) {
  const struct {
    const char* mode;
    std::uint32_t baud;
  } rates[] = {
      {"11,n,8,1", 110},        {"15,n,8,1", 150},  {"30,n,8,1", 300},    {"60,n,8,1", 600},
      {"12,n,8,1", 1200},       {"24,n,8,1", 2400}, {"48,n,8,1", 4800},   {"96,n,8,1", 9600},
      {"19,n,8,1", 19200},      {"110,n,8,1", 110}, {"9600,n,8,1", 9600}, {"12345,n,8,1", 12345},
      {"115200,n,8,1", 115200},
  };
  for (const auto& r : rates) {
    Target target;
    ASSERT_TRUE(target.Parse(r.mode)) << r.mode;
    EXPECT_EQ(target.dcb.BaudRate, r.baud) << r.mode;
  }

  Target target;
  ASSERT_TRUE(target.Parse("19,e,7,2"));
  EXPECT_EQ(target.dcb.Parity, 2);
  EXPECT_EQ(target.dcb.ByteSize, 7);
  EXPECT_EQ(target.dcb.StopBits, 2);
  ASSERT_TRUE(target.Parse("11,M,5,1.5"));
  EXPECT_EQ(target.dcb.BaudRate, 110u);
  EXPECT_EQ(target.dcb.Parity, 3);
  EXPECT_EQ(target.dcb.ByteSize, 5);
  EXPECT_EQ(target.dcb.StopBits, 1);  // given, so no 110-baud default
  ASSERT_TRUE(target.Parse("11,s,8,1"));
  EXPECT_EQ(target.dcb.StopBits, 0);
  EXPECT_EQ(target.dcb.Parity, 4);
}

TEST(ModeStringTest, OldFormFlowControl) {
  const struct {
    const char* mode;
    std::uint32_t flags;  // the flow-control bits only
  } cases[] = {
      {"96,n,8,1", (1u << kDcbDtrControlShift) | (1u << kDcbRtsControlShift)},
      {"96,n,8,1,", (1u << kDcbDtrControlShift) | (1u << kDcbRtsControlShift)},
      {"96,n,8,1,x",
       kDcbOutX | kDcbInX | (1u << kDcbDtrControlShift) | (1u << kDcbRtsControlShift)},
      {"96,n,8,1,p", kDcbOutxCtsFlow | kDcbOutxDsrFlow | (2u << kDcbDtrControlShift) |
                         (2u << kDcbRtsControlShift)},
  };
  constexpr std::uint32_t kFlow =
      kDcbOutX | kDcbInX | kDcbOutxCtsFlow | kDcbOutxDsrFlow | kDtrMask | kRtsMask;
  for (const std::uint32_t start : {0u, 0xFFFFFFFFu}) {
    for (const auto& c : cases) {
      Target target;
      target.dcb.flags = start;
      ASSERT_TRUE(target.Parse(c.mode)) << c.mode;
      EXPECT_EQ(target.dcb.flags & kFlow, c.flags) << c.mode;
      EXPECT_EQ(target.dcb.flags & ~kFlow, start & ~kFlow) << c.mode;  // parity checking too
    }
  }

  Target target;
  const Target before;
  ASSERT_TRUE(target.Parse("96,n,8,1"));
  EXPECT_TRUE(Same(target.timeouts, before.timeouts));
}

}  // namespace
}  // namespace qs::platform
