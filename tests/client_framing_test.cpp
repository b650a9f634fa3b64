// The client protocol's framing: data escapes, split and overlong lines, each client its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/client_protocol_fixture.h"

namespace qs {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ClientProtocolTest;

Bytes B(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

TEST_F(ClientProtocolTest, FramingOfDataEscapesAndSplitLines) {
  Send(clientA_, "x\x1B\x1By\x1B");            // ESC ESC is a data ESC; a lone ESC waits
  Send(clientA_, "\x1Bz");                     // ... and the next chunk's ESC makes it data too
  EXPECT_EQ(comm_.device.Written(), Bytes{});  // no port open: nothing goes out
  ASSERT_EQ(lines_.Count(), 0u);

  Send(clientA_,
       "\x1B"
       "COM3\r\nabc\x1B\r");  // LF after the CR is data; ESC CR an empty line
  EXPECT_EQ(comm_.device.Written(), B("\nabc"));
  Send(clientA_, "\x1B\x1B\x1BTE");
  Send(clientA_, "ST\r");
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01}));
  EXPECT_EQ(comm_.device.Written(), B("\nabc\x1B"));
  EXPECT_EQ(lines_.TextsFrom(3),
            (std::vector<std::string>{"Komenda:\x1B"
                                      "COM3\r\nabc\x1B\r",
                                      "Komenda:\x1B\x1B\x1BTE", "Komenda:ST\r"}));

  // An ESC that opens a chunk while a line is open is data; the line's text goes on later.
  Send(clientA_, "\x1BTE");
  Send(clientA_, "\x1B\x1BST\r");
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01, 0x01}));
  EXPECT_EQ(comm_.device.Written(), B("\nabc\x1B\x1B"));
}

// A device that holds its line would cost a write time-out per byte: one refused byte
// gives up on the rest of the chunk's data, the commands in it still run.
TEST_F(ClientProtocolTest, AHeldLineSkipsTheRestOfTheChunksDataButNotItsCommands) {
  Send(clientA_,
       "\x1B"
       "COM3\r");
  comm_.device.writesGoOut = false;
  Send(clientA_, "abc\x1BTEST\rdef\x1B\x1B");
  EXPECT_EQ(comm_.device.writeAttempts.load(), 1);
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01}));
  EXPECT_EQ(lines_.Texts().back(), "Error - port COM nie przyjmuje danych, pominieto 7 bajtow");

  Send(clientA_, "gh");  // the next chunk tries again
  EXPECT_EQ(comm_.device.writeAttempts.load(), 2);
  EXPECT_EQ(lines_.Texts().back(), "Error - port COM nie przyjmuje danych, pominieto 2 bajtow");

  comm_.device.writesGoOut = true;
  const std::size_t linesBefore = lines_.Count();
  Send(clientA_, "ij");
  EXPECT_EQ(comm_.device.Written(), B("ij"));
  EXPECT_EQ(lines_.Count(), linesBefore);
}

TEST_F(ClientProtocolTest, AckDevicesNeverGetAnAckFromAClient) {
  Send(clientA_,
       "\x1B"
       "COM3\r");
  Send(clientA_,
       "\x06\x1BTYP=108\r\x06"
       "a\x1B\x1B");
  EXPECT_EQ(comm_.device.Written(), (Bytes{0x06, 'a', 0x1B}));
  Send(clientA_, "\x1BTYP=107\r\x06");
  EXPECT_EQ(comm_.device.Written(), (Bytes{0x06, 'a', 0x1B, 0x06}));
}

TEST_F(ClientProtocolTest, EachClientHasItsOwnFraming) {
  Send(clientA_, "\x1BTE");  // A's line is unfinished
  Send(clientB_,
       "\x1B"
       "COM3\rxy");  // B's bytes are B's own
  EXPECT_EQ(comm_.device.Written(), B("xy"));
  EXPECT_EQ(sender_.ownerClient.load(), &clientB_);
  Send(clientA_, "ST\r");
  EXPECT_EQ(RepliesTo(11), Bytes{0x01});
  EXPECT_EQ(RepliesTo(22), Bytes{0x00});

  // A new client in A's slot starts clean.
  Send(clientA_, "\x1BTE");
  clientA_.Assign(testing::FakeClient(sockets_, 33));
  Send(clientA_, "ST\r");
  EXPECT_EQ(comm_.device.Written(), B("xyST\r"));
}

TEST_F(ClientProtocolTest, OverlongLinesAreDroppedAndLongChunksLoggedCut) {
  Send(clientA_,
       "\x1B"
       "COM3\r");
  const std::size_t before = lines_.Count();
  // 2046 bytes and the CR fit; the TEST at its start runs.
  Send(clientA_, "\x1BTEST" + std::string(2042, '.') + "\r");
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01}));
  // One more byte and nothing in the line runs.
  std::string chunk = "\x1BTEST" + std::string(1018, '.');
  Send(clientA_, chunk);
  Send(clientA_, std::string(1025, '.') + "\r");
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01}));
  EXPECT_EQ(lines_.TextsFrom(before + 3).back(), "Error - komenda za dluga");
  // "Komenda:" and 1015 bytes of a 1023-byte chunk.
  const std::string logged = lines_.TextsFrom(before + 1).front();
  EXPECT_EQ(logged, "Komenda:" + chunk.substr(0, 1015));
  EXPECT_EQ(comm_.device.Written(), Bytes{});
}

}  // namespace
}  // namespace qs
