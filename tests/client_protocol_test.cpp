// The client protocol: the command keywords, their replies and the port they drive.
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

TEST_F(ClientProtocolTest, TypicalExchangeOnDemand) {
  const std::string open =
      "\x1B"
      "BAUD=9600 DATA=8 PARITY=N STOP=1 TIMEOUT1=10 TIMEOUT2=50 "
      "TIMEOUT3=0 COM3\r";
  Send(clientA_, open);
  EXPECT_EQ(lines_.Texts(),
            (std::vector<std::string>{"Komenda:" + open, "baud=9600 data=8 parity=N stop=1",
                                      "Serial Polling - start"}));
  EXPECT_EQ(comm_.openedPaths, std::vector<std::string>{"COM3"});
  EXPECT_EQ(comm_.device.timeouts.ReadIntervalTimeout, 10u);
  EXPECT_EQ(comm_.device.timeouts.ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(sender_.ownerClient.load(), &clientA_);

  Send(clientA_, "ab\x1BTEST\r");
  EXPECT_EQ(comm_.device.Written(), B("ab"));
  Send(clientA_,
       "\x1B"
       "CLOSE\r\x1BTEST\r");
  EXPECT_FALSE(serial_.IsOpen());
  EXPECT_EQ(sender_.ownerClient.load(), nullptr);
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x01, 0x00}));
  EXPECT_EQ(
      lines_.TextsFrom(4),
      (std::vector<std::string>{"Komenda:\x1B"
                                "CLOSE\r\x1BTEST\r",
                                "Serial Off - start", "Serial Polling - stop", "Serial Off - stop",
                                "Komenda:\x1B"
                                "CLOSE\r\x1BTEST\r"}));
}

TEST_F(ClientProtocolTest, RepliesFollowTheKeywordOrderNotTheLineOrder) {
  Send(clientA_,
       "\x1B"
       "COM3 TEST MSR=? DCB=?\r");
  Bytes expected = {0x00, 0x01, 0x30};  // COM, TEST, CTS and DSR on
  Bytes dcb(28);
  std::memcpy(dcb.data(), &comm_.device.state, 28);
  expected.insert(expected.end(), dcb.begin(), dcb.end());
  EXPECT_EQ(RepliesTo(11), expected);
  EXPECT_EQ(dcb[0], 28);

  // A second COM while open fails; its status still comes before TEST's.
  Send(clientB_, "\x1BTEST COM3\r");
  EXPECT_EQ(RepliesTo(22), (Bytes{0x01, 0x01}));
  EXPECT_EQ(sender_.ownerClient.load(), &clientA_);
}

TEST_F(ClientProtocolTest, KeywordMatchingAndArguments) {
  Send(clientA_,
       "\x1B"
       "baud=9600 ATTEST KILL\r");  // lower case is nothing; ATTEST holds TEST
  EXPECT_EQ(RepliesTo(11), Bytes{0x00});
  EXPECT_EQ(parameters_.requestedBaud, 0);

  Send(clientA_, std::string("\x1BTEST\0COM3\r", 11));  // a NUL hides the rest
  EXPECT_TRUE(comm_.openedPaths.empty());

  Send(clientA_,
       "\x1B"
       "BAUD=  +4294967296 DATA=-7 STOP= PARITY=\r");
  EXPECT_EQ(parameters_.requestedBaud, 2147483647);
  EXPECT_EQ(parameters_.requestedDataBits, -7);
  EXPECT_EQ(parameters_.requestedStopBits, 0);
  EXPECT_EQ(parameters_.requestedParity, '\r');

  for (const auto& [line, path] :
       std::vector<std::pair<std::string, std::string>>{{"COMX", "COM0"},
                                                        {"COM 7", "COM7"},
                                                        {"COM8", "\\\\.\\COM8"},
                                                        {"COM12", "\\\\.\\COM12"}}) {
    comm_.deviceMissing = true;
    Send(clientA_, "\x1B" + line + "\r");
    EXPECT_EQ(comm_.openedPaths.back(), path) << line;
  }
}

TEST_F(ClientProtocolTest, RtsAndDtrFollowTheByteBehindTheEquals) {
  Send(clientA_, "\x1BRTS=0 DTR=0\r");  // no port: only the remembered levels change
  Send(clientA_,
       "\x1B"
       "COM3\r");
  Send(clientA_,
       "\x1BRTS=0\r\x1BRTS=x\r\x1BRTS=\r\x1B"
       "DTR=0\r\x1B"
       "DTR=1\r");
  EXPECT_EQ(comm_.device.escapes,
            (std::vector<int>{platform::kClrRts, platform::kSetRts, platform::kSetRts,
                              platform::kClrDtr, platform::kSetDtr}));
}

TEST_F(ClientProtocolTest, QueriesWithNoPortAnswerZerosAndKillDoesNothing) {
  Send(clientA_, "\x1BMSR=? DCB=? KILL\r");
  EXPECT_EQ(RepliesTo(11), Bytes(29, 0x00));
}

TEST_F(ClientProtocolTest, SetDcbTakesItsBlockEvenAcrossChunks) {
  Send(clientA_,
       "\x1B"
       "COM3\r");
  Bytes block(28);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(0xA0 + i);

  Bytes whole = B("\x1BSETDCB\r");
  whole.insert(whole.end(), block.begin(), block.end());
  whole.insert(whole.end(), {'z', 'z'});
  Send(clientA_, whole);
  EXPECT_EQ(std::memcmp(&comm_.device.state, block.data(), 28), 0);
  EXPECT_EQ(comm_.device.purges, platform::kPurgeTxClear | platform::kPurgeRxClear);

  comm_.device.state = platform::Dcb{};
  Bytes first = B("\x1BSETDCB\r");
  first.insert(first.end(), block.begin(), block.begin() + 10);
  Send(clientA_, first);
  Send(clientB_, "b");  // another client's data is not part of A's block
  Bytes rest(block.begin() + 10, block.end());
  rest.insert(rest.end(), {'q', 'q'});
  Send(clientA_, rest);
  EXPECT_EQ(std::memcmp(&comm_.device.state, block.data(), 28), 0);
  Send(clientA_, "k");
  EXPECT_EQ(comm_.device.Written(), B("bk")) << "payload bytes never go out as data";
}

TEST_F(ClientProtocolTest, AlwaysOpenClaimsAndReleases) {
  AlwaysOpen();
  Send(clientA_, "\x1BTEST\r");
  Send(clientA_,
       "\x1B"
       "COM5\r");
  Send(clientA_,
       "\x1B"
       "COM5\r");
  Send(clientB_,
       "\x1B"
       "COM9\r");
  EXPECT_EQ(sender_.ownerClient.load(), &clientA_);
  Send(clientB_,
       "\x1B"
       "CLOSE\r");
  EXPECT_EQ(sender_.ownerClient.load(), nullptr);
  Send(clientB_,
       "\x1B"
       "COM1 TEST\r");
  EXPECT_EQ(RepliesTo(11), (Bytes{0x00, 0x00, 0x01}));
  EXPECT_EQ(RepliesTo(22), (Bytes{0x01, 0x00, 0x01}));
  EXPECT_EQ(sender_.ownerClient.load(), &clientB_);
  EXPECT_TRUE(comm_.openedPaths.empty()) << "a claim opens nothing";
}

}  // namespace
}  // namespace qs
