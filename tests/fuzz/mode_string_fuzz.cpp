// Fuzz target: the mode-string parser never crashes, refuses without side effects, and what it
// accepts survives being written out again, case changes and repetition.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "platform/common/mode_string.h"
#include "serial/port_config.h"

namespace qs::fuzz {
namespace {

using platform::CommTimeouts;
using platform::Dcb;

struct Parsed {
  bool accepted = false;
  Dcb dcb{};
  CommTimeouts timeouts{};
};

// Two starting blocks that differ in every bit: a field the string names comes out the same
// from both, a field it leaves alone keeps each start's value.
Parsed Parse(const std::string& mode, bool allOnes) {
  Parsed p;
  std::memset(&p.dcb, allOnes ? 0xFF : 0x00, sizeof p.dcb);
  std::memset(&p.timeouts, allOnes ? 0xFF : 0x00, sizeof p.timeouts);
  p.accepted = platform::ParseModeString(mode, p.dcb, p.timeouts);
  return p;
}

bool SameBlocks(const Parsed& a, const Parsed& b) {
  return a.accepted == b.accepted && std::memcmp(&a.dcb, &b.dcb, sizeof a.dcb) == 0 &&
         std::memcmp(&a.timeouts, &b.timeouts, sizeof a.timeouts) == 0;
}

// What one string did, seen through the pair of starts.
struct Named {
  bool baud, data, parity, stop, timeouts;
  bool xon, odsr, octs, idsr, dtr, rts;
};

template <typename T>
bool FieldNamed(T zeroStart, T onesStart, const std::string& field, const std::string& mode) {
  if (zeroStart == onesStart) return true;
  Require(zeroStart == T{0} && onesStart == static_cast<T>(~T{0}),
          field + " depends on the starting block for \"" + Printable(mode) + "\"");
  return false;
}

bool BitsNamed(std::uint32_t zeroFlags, std::uint32_t onesFlags, std::uint32_t mask,
               const std::string& field, const std::string& mode) {
  if ((zeroFlags & mask) == (onesFlags & mask)) return true;
  Require((zeroFlags & mask) == 0 && (onesFlags & mask) == mask,
          field + " depends on the starting block for \"" + Printable(mode) + "\"");
  return false;
}

// Whether two blocks agree in every field that no key of the grammar names.
bool SameOutsideKeys(Dcb x, Dcb y) {
  for (Dcb* d : {&x, &y}) {
    d->BaudRate = 0;
    d->ByteSize = d->Parity = d->StopBits = 0;
    d->flags = 0;
  }
  return std::memcmp(&x, &y, sizeof x) == 0;
}

Named WhatWasNamed(const Parsed& fromZeros, const Parsed& fromOnes, const std::string& mode) {
  const Dcb& a = fromZeros.dcb;
  const Dcb& b = fromOnes.dcb;
  Named n{};
  n.baud = FieldNamed(a.BaudRate, b.BaudRate, "BaudRate", mode);
  n.data = FieldNamed(a.ByteSize, b.ByteSize, "ByteSize", mode);
  n.parity = FieldNamed(a.Parity, b.Parity, "Parity", mode);
  n.stop = FieldNamed(a.StopBits, b.StopBits, "StopBits", mode);
  Require(n.stop, "an accepted string always settles the stop bits: \"" + Printable(mode) + "\"");

  const CommTimeouts& ta = fromZeros.timeouts;
  const CommTimeouts& tb = fromOnes.timeouts;
  n.timeouts = std::memcmp(&ta, &tb, sizeof ta) == 0;
  if (n.timeouts) {
    const bool off = ta.ReadIntervalTimeout == 0 && ta.ReadTotalTimeoutMultiplier == 0 &&
                     ta.ReadTotalTimeoutConstant == 0 && ta.WriteTotalTimeoutMultiplier == 0;
    Require(off && (ta.WriteTotalTimeoutConstant == 0 || ta.WriteTotalTimeoutConstant == 60000),
            "time-outs other than to=on or to=off from \"" + Printable(mode) + "\"");
  } else {
    const CommTimeouts zeros{};
    CommTimeouts allOnes{};
    std::memset(&allOnes, 0xFF, sizeof allOnes);
    Require(std::memcmp(&ta, &zeros, sizeof ta) == 0 && std::memcmp(&tb, &allOnes, sizeof tb) == 0,
            "time-outs half changed by \"" + Printable(mode) + "\"");
  }

  const bool outX = BitsNamed(a.flags, b.flags, platform::kDcbOutX, "fOutX", mode);
  const bool inX = BitsNamed(a.flags, b.flags, platform::kDcbInX, "fInX", mode);
  Require(outX == inX && (a.flags & platform::kDcbOutX) == ((a.flags & platform::kDcbInX) >> 1),
          "XON/XOFF set for one direction only by \"" + Printable(mode) + "\"");
  n.xon = outX;
  n.odsr = BitsNamed(a.flags, b.flags, platform::kDcbOutxDsrFlow, "fOutxDsrFlow", mode);
  n.octs = BitsNamed(a.flags, b.flags, platform::kDcbOutxCtsFlow, "fOutxCtsFlow", mode);
  n.idsr = BitsNamed(a.flags, b.flags, platform::kDcbDsrSensitivity, "fDsrSensitivity", mode);
  n.dtr = BitsNamed(a.flags, b.flags, 3u << platform::kDcbDtrControlShift, "fDtrControl", mode);
  n.rts = BitsNamed(a.flags, b.flags, 3u << platform::kDcbRtsControlShift, "fRtsControl", mode);

  // No key reaches these.
  constexpr std::uint32_t kNamable =
      platform::kDcbOutX | platform::kDcbInX | platform::kDcbOutxDsrFlow |
      platform::kDcbOutxCtsFlow | platform::kDcbDsrSensitivity |
      (3u << platform::kDcbDtrControlShift) | (3u << platform::kDcbRtsControlShift);
  Require((a.flags & ~kNamable) == 0 && (b.flags & ~kNamable) == ~kNamable,
          "a flag no key names changed for \"" + Printable(mode) + "\"");
  Dcb allOnes{};
  std::memset(&allOnes, 0xFF, sizeof allOnes);
  Require(SameOutsideKeys(a, Dcb{}) && SameOutsideKeys(b, allOnes),
          "a field no key names changed for \"" + Printable(mode) + "\"");

  // What a named field may hold.
  if (n.data) Require(a.ByteSize >= 5 && a.ByteSize <= 8, "data bits out of 5-8");
  if (n.parity) Require(a.Parity <= 4, "parity code above 4");
  Require(a.StopBits <= 2, "stop-bit code above 2");
  if (n.dtr) Require(((a.flags >> platform::kDcbDtrControlShift) & 3u) != 3, "DTR mode 3");
  return n;
}

const char* OnOff(std::uint32_t flags, std::uint32_t bit) {
  return (flags & bit) ? "on" : "off";
}

// The new form that names exactly what the original string named, with the same values.
std::string Canonical(const Parsed& zero, const Named& n) {
  const Dcb& d = zero.dcb;
  std::string s;
  const auto add = [&](const std::string& pair) { s += (s.empty() ? "" : " ") + pair; };
  if (n.baud) add("baud=" + std::to_string(d.BaudRate));
  if (n.parity) add(std::string("parity=") + "noems"[d.Parity]);
  if (n.data) add("data=" + std::to_string(d.ByteSize));
  add(std::string("stop=") + (d.StopBits == 0 ? "1" : d.StopBits == 1 ? "1.5" : "2"));
  if (n.timeouts) add(zero.timeouts.WriteTotalTimeoutConstant ? "to=on" : "to=off");
  if (n.xon) add(std::string("xon=") + OnOff(d.flags, platform::kDcbOutX));
  if (n.odsr) add(std::string("odsr=") + OnOff(d.flags, platform::kDcbOutxDsrFlow));
  if (n.octs) add(std::string("octs=") + OnOff(d.flags, platform::kDcbOutxCtsFlow));
  if (n.idsr) add(std::string("idsr=") + OnOff(d.flags, platform::kDcbDsrSensitivity));
  static const char* const kDtr[] = {"off", "on", "hs", "?"};  // 3 is refused above
  static const char* const kRts[] = {"off", "on", "hs", "tg"};
  if (n.dtr) add(std::string("dtr=") + kDtr[(d.flags >> platform::kDcbDtrControlShift) & 3u]);
  if (n.rts) add(std::string("rts=") + kRts[(d.flags >> platform::kDcbRtsControlShift) & 3u]);
  return s;
}

std::string FlipCase(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return s;
}

bool StartsLikeDevice(const std::string& s) {
  return s.size() >= 3 && (s[0] | 0x20) == 'c' && (s[1] | 0x20) == 'o' && (s[2] | 0x20) == 'm';
}

void RequireSameAs(const std::string& variant, const Parsed& zero, const Parsed& ones,
                   const std::string& why, const std::string& mode) {
  Require(SameBlocks(Parse(variant, false), zero) && SameBlocks(Parse(variant, true), ones),
          why + ": \"" + Printable(variant) + "\" differs from \"" + Printable(mode) + "\"");
}

// The request the program formats for an open comes back as the fields it asked for.
void CheckProgramModeString(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return;
  std::uint32_t baud = 0;
  std::memcpy(&baud, data, sizeof baud);
  const auto dataBits = static_cast<std::int8_t>(data[4]);
  const auto parity = static_cast<char>(data[5]);
  const auto stopBits = static_cast<std::int8_t>(data[6]);
  const std::string mode = FormatModeString(baud, dataBits, parity, stopBits);

  static const std::string kLetters = "nNoOeEmMsS";
  const std::size_t letter = parity == '\0' ? std::string::npos : kLetters.find(parity);
  const bool valid = dataBits >= 5 && dataBits <= 8 && letter != std::string::npos &&
                     (stopBits == 1 || stopBits == 2);
  Parsed got = Parse(mode, false);
  Require(got.accepted == valid, "\"" + Printable(mode) + "\" " + (valid ? "refused" : "accepted"));
  if (!valid) return;
  Parsed expected;
  expected.accepted = true;
  expected.dcb.BaudRate = baud;
  expected.dcb.ByteSize = static_cast<std::uint8_t>(dataBits);
  expected.dcb.Parity = static_cast<std::uint8_t>(letter / 2);
  expected.dcb.StopBits = stopBits == 1 ? 0 : 2;
  Require(SameBlocks(got, expected), "\"" + Printable(mode) + "\" set other values");
}

}  // namespace
}  // namespace qs::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qs::fuzz;
  const std::string mode(reinterpret_cast<const char*>(data), size);
  const Parsed zero = Parse(mode, false);
  const Parsed ones = Parse(mode, true);
  Require(zero.accepted == ones.accepted,
          "the verdict on \"" + Printable(mode) + "\" depends on the starting block");

  if (!zero.accepted) {
    Parsed zeros;
    Parsed ff;
    std::memset(&ff.dcb, 0xFF, sizeof ff.dcb);
    std::memset(&ff.timeouts, 0xFF, sizeof ff.timeouts);
    Require(SameBlocks(zero, zeros) && SameBlocks(ones, ff),
            "refused \"" + Printable(mode) + "\" changed the block");
  } else {
    const Named named = WhatWasNamed(zero, ones, mode);
    RequireSameAs(Canonical(zero, named), zero, ones, "written out again", mode);
    RequireSameAs(FlipCase(mode), zero, ones, "case changed", mode);
    if (!mode.empty() && mode.find(',') == std::string::npos && !StartsLikeDevice(mode)) {
      RequireSameAs(mode + " " + mode, zero, ones, "said twice", mode);
    }
  }
  CheckProgramModeString(data, size);
  return 0;
}
