// The traffic log's escape table.
#include "log/traffic_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qs {
namespace {

std::string Escaped(const std::vector<std::uint8_t>& bytes) {
  return EscapeTraffic(bytes.data(), bytes.size());
}

TEST(TrafficText, EscapesControlAndHighBytes) {
  EXPECT_EQ(Escaped({0x1B, 0x43, 0x4F, 0x4D, 0x33, 0x0D}), "[ESC]COM3[CR]");
  EXPECT_EQ(Escaped({0x0A}), "[LF]");
  EXPECT_EQ(Escaped({0x00, 0x06, 0x1F, 0x20, 0x7E, 0x7F, 0x80, 0x9C, 0xFF}),
            "[00][06][1F] ~\x7F[80][9C][FF]");
  EXPECT_EQ(Escaped({'%', 'd', '['}), "%d[");
}

TEST(TrafficText, EveryByteValueGivesPrintableTextOfTheRightLength) {
  for (int value = 0; value < 256; ++value) {
    const auto byte = static_cast<std::uint8_t>(value);
    const std::string text = Escaped({byte});
    const std::size_t expected = byte == 0x1B ? 5 : (byte >= 0x20 && byte <= 0x7F) ? 1 : 4;
    EXPECT_EQ(text.size(), expected) << "byte " << value;
    for (const char c : text) {
      const auto u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 && u <= 0x7F) << "byte " << value;
    }
  }
}

TEST(TrafficText, LargestChunkOfEscFillsTheBufferExactly) {
  const std::vector<std::uint8_t> chunk(kMaxChunkSize, 0x1B);
  // The buffer the server keeps for one chunk: 5 bytes per input byte and the terminator.
  std::vector<char> buffer(kTrafficTextBytesPerInput * kMaxChunkSize + 1, '#');
  EscapeTraffic(chunk.data(), chunk.size(), buffer.data());
  EXPECT_EQ(std::string(buffer.data()).size(), 5115u);
  EXPECT_EQ(buffer.back(), '\0');
}

}  // namespace
}  // namespace qs
