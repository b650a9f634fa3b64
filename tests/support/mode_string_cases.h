// Mode strings with BuildCommDCB's verdict and settings, shared by the parser and Win32 tests.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/comm.h"

namespace qs::testing {

using platform::kDcbInX;
using platform::kDcbOutX;
using platform::kDcbOutxCtsFlow;
using platform::kDcbOutxDsrFlow;

inline constexpr std::int64_t kKept = -1;  // a field the string does not name keeps its value

enum ToSwitch { kToKept, kToOn, kToOff };  // "to=on": a 60 s write time-out only; "to=off": all 0

constexpr std::uint32_t Dtr(std::uint32_t mode) {
  return mode << platform::kDcbDtrControlShift;
}
constexpr std::uint32_t Rts(std::uint32_t mode) {
  return mode << platform::kDcbRtsControlShift;
}
inline constexpr std::uint32_t kXon = kDcbOutX | kDcbInX;
inline constexpr std::uint32_t kLines = Dtr(3) | Rts(3);
inline constexpr std::uint32_t kOdsr = kDcbOutxDsrFlow;
inline constexpr std::uint32_t kOcts = kDcbOutxCtsFlow;
inline constexpr std::uint32_t kIdsr = platform::kDcbDsrSensitivity;
// The old form always sets the whole flow control: none, x (XON/XOFF) or p (hardware).
inline constexpr std::uint32_t kOld = kXon | kOcts | kOdsr | kLines;
inline constexpr std::uint32_t kOldNone = Dtr(1) | Rts(1);
inline constexpr std::uint32_t kOldX = kXon | kOldNone;
inline constexpr std::uint32_t kOldP = kOcts | kOdsr | Dtr(2) | Rts(2);

struct AcceptedMode {
  std::string_view mode;
  std::int64_t baud;
  std::int64_t data;
  std::int64_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::int64_t stop;       // 0 one, 1 one and a half, 2 two: always set, implied when not given
  std::uint32_t flagMask;  // the flag bits the string sets or clears; the others keep theirs
  std::uint32_t flags;
  ToSwitch to;
};

inline constexpr AcceptedMode kAcceptedModes[] = {
    // The new form.
    {"", kKept, kKept, kKept, 0, 0, 0, kToKept},
    {"baud=9600 parity=e data=5 stop=1 xon=on", 9600, 5, 2, 0, kXon, kXon, kToKept},
    {"baud=9600 data=8 parity=N stop=1", 9600, 8, 0, 0, 0, 0, kToKept},
    {"baud=0 parity=n data=8 stop=1", 0, 8, 0, 0, 0, 0, kToKept},  // SetCommState refuses 0
    {"BAUD=4000000000 data=08 stop=1.5 parity=S", 4000000000, 8, 4, 1, 0, 0, kToKept},
    {"Baud=9600 PARITY=E Data=7 sToP=2 XON=ON", 9600, 7, 2, 2, kXon, kXon, kToKept},
    {"Baud=19200  PARITY=O   Data=7", 19200, 7, 1, 0, 0, 0, kToKept},
    {"baud=9600   data=8    stop=1", 9600, 8, kKept, 0, 0, 0, kToKept},
    {"baud=9600", 9600, kKept, kKept, 0, 0, 0, kToKept},
    {"data=08", kKept, 8, kKept, 0, 0, 0, kToKept},
    {"stop=01", kKept, kKept, kKept, 0, 0, 0, kToKept},
    {"data=8 stop=1.5", kKept, 8, kKept, 1, 0, 0, kToKept},
    {"stop=1.5 data=5", kKept, 5, kKept, 1, 0, 0, kToKept},
    {"parity=o", kKept, kKept, 1, 0, 0, 0, kToKept},
    {"parity=S data=6 stop=2", kKept, 6, 4, 2, 0, 0, kToKept},
    {"baud=99999999999", 0xFFFFFFFF, kKept, kKept, 0, 0, 0, kToKept},  // saturates
    {"baud=4294967295", 0xFFFFFFFF, kKept, kKept, 0, 0, 0, kToKept},
    {"baud=4294967296", 0xFFFFFFFF, kKept, kKept, 0, 0, 0, kToKept},
    {"baud=12 data=7", 12, 7, kKept, 0, 0, 0, kToKept},  // no abbreviated rates here
    {"baud=110", 110, kKept, kKept, 2, 0, 0, kToKept},   // two stop bits at 110 baud
    {"baud=110 stop=1", 110, kKept, kKept, 0, 0, 0, kToKept},
    {"stop=2 baud=110 stop=1.5", 110, kKept, kKept, 1, 0, 0, kToKept},
    {"baud=9600 baud=300", 300, kKept, kKept, 0, 0, 0, kToKept},  // the last one wins
    {"data=5 data=8", kKept, 8, kKept, 0, 0, 0, kToKept},
    {"stop=2 stop=1.5 data=5", kKept, 5, kKept, 1, 0, 0, kToKept},
    {"xon=on xon=off", kKept, kKept, kKept, 0, kXon, 0, kToKept},
    {"to=on", kKept, kKept, kKept, 0, 0, 0, kToOn},
    {"TO=OFF", kKept, kKept, kKept, 0, 0, 0, kToOff},
    {"to=off to=on", kKept, kKept, kKept, 0, 0, 0, kToOn},
    {"to=off baud=1200", 1200, kKept, kKept, 0, 0, 0, kToOff},
    {"to=on xon=on", kKept, kKept, kKept, 0, kXon, kXon, kToOn},
    {"xon=On odsr=off octs=on idsr=on", kKept, kKept, kKept, 0, kXon | kOdsr | kOcts | kIdsr,
     kXon | kOcts | kIdsr, kToKept},
    {"xon=off odsr=on octs=on idsr=on", kKept, kKept, kKept, 0, kXon | kOdsr | kOcts | kIdsr,
     kOdsr | kOcts | kIdsr, kToKept},
    {"BAUD=9600 DATA=8 PARITY=E STOP=2 XON=ON ODSR=OFF OCTS=OFF DTR=ON RTS=ON IDSR=OFF", 9600, 8, 2,
     2, kXon | kOdsr | kOcts | kIdsr | kLines, kXon | Dtr(1) | Rts(1), kToKept},
    {"dtr=on rts=off", kKept, kKept, kKept, 0, kLines, Dtr(1), kToKept},
    {"dtr=off rts=on", kKept, kKept, kKept, 0, kLines, Rts(1), kToKept},
    {"dtr=off rts=off", kKept, kKept, kKept, 0, kLines, 0, kToKept},
    {"dtr=hs rts=hs", kKept, kKept, kKept, 0, kLines, Dtr(2) | Rts(2), kToKept},
    {"dtr=HS rts=TG", kKept, kKept, kKept, 0, kLines, Dtr(2) | Rts(3), kToKept},
    // A device name in front.
    {"COM1:", kKept, kKept, kKept, 0, 0, 0, kToKept},
    {"COM1: ", kKept, kKept, kKept, 0, 0, 0, kToKept},
    {"COM2 ", kKept, kKept, kKept, 0, 0, 0, kToKept},
    {"com1:baud=9600", 9600, kKept, kKept, 0, 0, 0, kToKept},
    {"COM1: baud=9600", 9600, kKept, kKept, 0, 0, 0, kToKept},
    {"COM12 baud=9600", 9600, kKept, kKept, 0, 0, 0, kToKept},
    {"COM1  baud=9600", 9600, kKept, kKept, 0, 0, 0, kToKept},
    {"COM1:baud=9600 data=7", 9600, 7, kKept, 0, 0, 0, kToKept},
    {"com12 baud=2400 parity=m", 2400, kKept, 3, 0, 0, 0, kToKept},
    // The old form; two digits stand for the old MODE command's rates.
    {"9600,n,8,1", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"96,N,8,1", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"96,e,7,2,x", 9600, 7, 2, 2, kOld, kOldX, kToKept},
    {"9600,N,8,2,X", 9600, 8, 0, 2, kOld, kOldX, kToKept},
    {"96,n,8,1,p", 9600, 8, 0, 0, kOld, kOldP, kToKept},
    {"9600,o,8,1,p", 9600, 8, 1, 0, kOld, kOldP, kToKept},
    {"96,n,8,1,", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"96, n ,8 ,1 ", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"96,n,5,1.5", 9600, 5, 0, 1, kOld, kOldNone, kToKept},
    {"96,n,08,01", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"0,n,8,1", 0, 8, 0, 0, kOld, kOldNone, kToKept},
    {"COM1:96,n,8,1", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"COM1: 96,n,8,1", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"COM1 9600,n,8,1", 9600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"11,M,5,1.5", 110, 5, 3, 1, kOld, kOldNone, kToKept},  // given, so no 110-baud default
    {"11,s,8,1", 110, 8, 4, 0, kOld, kOldNone, kToKept},
    {"11,e,7,1", 110, 7, 2, 0, kOld, kOldNone, kToKept},
    {"15,n,8,1", 150, 8, 0, 0, kOld, kOldNone, kToKept},
    {"30,n,8,1", 300, 8, 0, 0, kOld, kOldNone, kToKept},
    {"60,n,8,1", 600, 8, 0, 0, kOld, kOldNone, kToKept},
    {"12,n,8,1", 1200, 8, 0, 0, kOld, kOldNone, kToKept},
    {"24,n,8,1", 2400, 8, 0, 0, kOld, kOldNone, kToKept},
    {"48,n,8,1", 4800, 8, 0, 0, kOld, kOldNone, kToKept},
    {"19,e,7,2", 19200, 7, 2, 2, kOld, kOldNone, kToKept},
    {"110,n,8,1", 110, 8, 0, 0, kOld, kOldNone, kToKept},
    {"12345,n,8,1", 12345, 8, 0, 0, kOld, kOldNone, kToKept},
    {"115200,n,8,1", 115200, 8, 0, 0, kOld, kOldNone, kToKept},
};

// Refused strings change nothing at all.
inline constexpr std::string_view kRefusedModes[] = {
    // The new form: bad values, keys and spacing; one bad pair spoils the lot.
    "parity=", "parity=x", "parity=no", "data=0", "data=4", "data=9", "data=", "data=8x", "stop=0",
    "stop=3", "stop=1.0", "stop=15", "stop=1.", "stop=", "baud=-1", "baud=+9600",
    "baud=", "baud=96x", "baud=9600=", " baud=9600", "baud= 9600", "baud = 9600", "baud=9600 ",
    "baud=9600\tdata=8", "baud=9600:", "speed=9600", "baud=9600 speed=1", "=9600", "baud", "9600",
    "xon=yes", "xon=onx", "xon=maybe", "to=o", "to=yes", "idsr=hs", "rts=toggle", "dtr=tg",
    "baud=9600 data=8 parity=z", "baud=0 data=0 parity=",
    std::string_view("baud=9600\0 x", 12),  // the API would see only the part before the NUL
    // Mixed forms and bad device names.
    "baud=9600,", "baud=96,n,8,1", "baud=9600,n,8,1", "9600,n,8,1 baud=1200", "COM1", "COM",
    "COM0:baud=9600", "COM01:baud=9600", "COM:baud=9600", "COM1x:baud=9600",
    // The old form.
    " 96,n,8,1", "9600,n", "96,n,8", "96,,8,1", "96,x,8,1", "9600,q,8,1", "96,n,4,1", "96,n,9,1",
    "96,n,8,3", "96,n,8,1.0", "96,n,8,1x", "96,n,8,1,q", "96,n,8,1,p,x", "96,n,8,1,,", "-1,n,8,1",
    "+96,n,8,1"};

}  // namespace qs::testing
