// The mode-string parser against the table of BuildCommDCB's verdicts and settings.
#include "platform/common/mode_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/mode_string_cases.h"

namespace qs::platform {
namespace {

using testing::kKept;

// Starting blocks: every bit clear, every bit set (so a field written where it should be kept
// shows either way), and a rate of 110 already in place (only a rate the string gives implies
// two stop bits).
struct Start {
  Dcb dcb;
  CommTimeouts timeouts;
};
Start Filled(int byte, std::uint32_t baud) {
  Start start;
  std::memset(&start, byte, sizeof start);
  start.dcb.BaudRate = baud;
  return start;
}
const Start kStarts[] = {Filled(0x00, 0), Filled(0xFF, 0xFFFFFFFF), Filled(0x00, 110)};

template <typename Field>
void Expect(Field& field, std::int64_t value) {
  if (value != kKept) field = static_cast<Field>(value);
}

bool Same(const Start& a, const Start& b) {
  return std::memcmp(&a.dcb, &b.dcb, sizeof a.dcb) == 0 &&
         std::memcmp(&a.timeouts, &b.timeouts, sizeof a.timeouts) == 0;
}

TEST(ModeStringTest, AcceptedStringsSetExactlyTheFieldsTheyName) {
  for (const testing::AcceptedMode& c : testing::kAcceptedModes) {
    for (const Start& start : kStarts) {
      Start expected = start;
      Expect(expected.dcb.BaudRate, c.baud);
      Expect(expected.dcb.ByteSize, c.data);
      Expect(expected.dcb.Parity, c.parity);
      Expect(expected.dcb.StopBits, c.stop);
      expected.dcb.flags = (start.dcb.flags & ~c.flagMask) | c.flags;
      if (c.to != testing::kToKept) expected.timeouts = CommTimeouts{};
      if (c.to == testing::kToOn) expected.timeouts.WriteTotalTimeoutConstant = 60000;

      Start got = start;
      ASSERT_TRUE(ParseModeString(std::string(c.mode), got.dcb, got.timeouts)) << c.mode;
      EXPECT_TRUE(Same(got, expected))
          << '"' << c.mode << "\" from 0x" << std::hex << start.dcb.flags << ": baud " << std::dec
          << got.dcb.BaudRate << " data " << int{got.dcb.ByteSize} << " parity "
          << int{got.dcb.Parity} << " stop " << int{got.dcb.StopBits} << " flags 0x" << std::hex
          << got.dcb.flags << " write time-out " << std::dec
          << got.timeouts.WriteTotalTimeoutConstant;
    }
  }
}

TEST(ModeStringTest, RefusedStringsChangeNothing) {
  for (const std::string_view mode : testing::kRefusedModes) {
    for (const Start& start : kStarts) {
      Start got = start;
      EXPECT_FALSE(ParseModeString(std::string(mode), got.dcb, got.timeouts)) << '"' << mode << '"';
      EXPECT_TRUE(Same(got, start)) << '"' << mode << '"';
    }
  }
}

}  // namespace
}  // namespace qs::platform
