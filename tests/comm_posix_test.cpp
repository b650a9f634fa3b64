// The POSIX serial backend on pty pairs: COM names, the raw line, termios settings, cancel.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <filesystem>

#include "platform/comm.h"
#include "support/comm_posix_fixture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace qs::platform {
namespace {

using namespace std::chrono_literals;
using namespace qs::testing;

// --- Opening ---------------------------------------------------------------------------

TEST(CommPosixOpenTest, ComNamesFollowTheDosdevicesLinkInTheWorkingDirectory) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  testing::TempDir dir;
  std::filesystem::create_directory(dir.path() / "dosdevices");
  std::filesystem::create_symlink(pty.path(), dir.path() / "dosdevices" / "com3");
  std::filesystem::create_symlink(pty.path(), dir.path() / "MYCOM2");
  testing::WorkingDirectory cwd(dir.path());

  for (const char* name : {"COM3", "\\\\.\\COM3", "MYCOM2"}) {
    auto port = SystemComm().Open(name);
    ASSERT_NE(port, nullptr) << name;
    // It is the pty: bytes written reach its far end, and the device is now held.
    EXPECT_TRUE(port->WriteByte(0x33)) << name;
    EXPECT_EQ(pty.Receive(1, kPrompt), "\x33") << name;
    EXPECT_EQ(SystemComm().Open(pty.path()), nullptr) << name;
  }
  // No link for COM4: it would be /dev/ttyS3, never the pty. A dangling link fails.
  std::filesystem::create_symlink(dir.path() / "nothing", dir.path() / "dosdevices" / "com5");
  EXPECT_EQ(SystemComm().Open("COM5"), nullptr);
  EXPECT_EQ(SystemComm().Open("com3"), nullptr);  // names are upper-cased by the caller
}

TEST(CommPosixOpenTest, OpeningKeepsTheRateButMakesTheLineRaw) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  termios tio = pty.Line();
  ::cfsetspeed(&tio, B57600);
  tio.c_lflag |= ICANON | ECHO;
  tio.c_iflag |= ICRNL | IXON;
  tio.c_cflag |= CSTOPB;
  ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &tio), 0);

  auto port = SystemComm().Open(pty.path());
  ASSERT_NE(port, nullptr);
  Dcb dcb{};
  ASSERT_TRUE(port->GetState(dcb));
  EXPECT_EQ(dcb.BaudRate, 57600u);
  const termios now = pty.Line();
  EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(now.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.flags & kDcbOutX, 0u);
  EXPECT_EQ(now.c_cc[VMIN], 1);
}

// --- Line settings ---------------------------------------------------------------------

TEST_F(CommPosixTest, RatesStopBitsAndFlowControlRoundTrip) {
  for (const std::uint32_t rate : {9600u, 115200u, 250000u, 31250u}) {
    Dcb dcb = State();
    dcb.BaudRate = rate;
    ASSERT_TRUE(port->SetState(dcb)) << rate;
    EXPECT_EQ(State().BaudRate, rate);
  }

  Dcb dcb = State();
  dcb.ByteSize = 8;
  dcb.StopBits = 2;
  dcb.flags |= kDcbOutxCtsFlow;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_NE(pty.Line().c_cflag & CSTOPB, 0u);
  EXPECT_NE(pty.Line().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(State().StopBits, 2);
  EXPECT_NE(State().flags & kDcbOutxCtsFlow, 0u);

  // RTS handshake alone also means CRTSCTS, and reads back as itself.
  dcb.StopBits = 0;
  dcb.flags &= ~(kDcbOutxCtsFlow | (3u << kDcbRtsControlShift));
  dcb.flags |= 2u << kDcbRtsControlShift;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_cflag & CSTOPB, 0u);
  EXPECT_NE(pty.Line().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(State().flags & kDcbOutxCtsFlow, 0u);
  EXPECT_EQ((State().flags >> kDcbRtsControlShift) & 3u, 2u);

  dcb.flags &= ~(3u << kDcbRtsControlShift);
  dcb.flags |= 1u << kDcbRtsControlShift;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_cflag & CRTSCTS, 0u);
}

TEST_F(CommPosixTest, SoftwareFlowControlAndParityCheckingMapToInputFlags) {
  Dcb dcb = State();
  dcb.flags |= kDcbOutX | kDcbInX | kDcbParity;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  ASSERT_TRUE(port->SetState(dcb));
  const termios tio = pty.Line();
  EXPECT_NE(tio.c_iflag & IXON, 0u);
  EXPECT_NE(tio.c_iflag & IXOFF, 0u);
  EXPECT_NE(tio.c_iflag & INPCK, 0u);
  EXPECT_EQ(tio.c_iflag & PARMRK, 0u);
  EXPECT_EQ(tio.c_cc[VSTART], 0x11);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
  const Dcb back = State();
  EXPECT_EQ(back.flags & (kDcbOutX | kDcbInX | kDcbParity), kDcbOutX | kDcbInX | kDcbParity);
  EXPECT_EQ(back.XonChar, 0x11);
  EXPECT_EQ(back.XoffChar, 0x13);

  dcb.flags &= ~(kDcbOutX | kDcbInX | kDcbParity);
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(pty.Line().c_iflag & (IXON | IXOFF | INPCK), 0u);
}

TEST_F(CommPosixTest, FieldsWithoutATermiosTwinAreKept) {
  Dcb dcb = State();
  dcb.flags = kDcbOutxDsrFlow | (2u << kDcbDtrControlShift) | kDcbDsrSensitivity |
              kDcbTxContinueOnXoff | kDcbErrorChar | kDcbNull | (1u << kDcbRtsControlShift) |
              kDcbAbortOnError;  // fBinary left out: it always reads back as 1
  dcb.XonLim = 1234;
  dcb.XoffLim = 321;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  dcb.wReserved = 7;
  dcb.wReserved1 = 9;
  dcb.DCBlength = 99;
  ASSERT_TRUE(port->SetState(dcb));
  const Dcb back = State();
  EXPECT_EQ(back.DCBlength, kDcbSize);
  EXPECT_EQ(back.flags, dcb.flags | kDcbBinary);
  EXPECT_EQ(back.XonLim, 1234);
  EXPECT_EQ(back.XoffLim, 321);
  EXPECT_EQ(back.ErrorChar, '?');
  EXPECT_EQ(back.EofChar, 0x1A);
  EXPECT_EQ(back.EvtChar, '\n');
  EXPECT_EQ(back.wReserved, 7);
  EXPECT_EQ(back.wReserved1, 9);
}

TEST_F(CommPosixTest, GetStateReportsWhatTheDeviceHasNotWhatWasAsked) {
  // A pty keeps 8 data bits and no parity whatever it is told.
  Dcb dcb = State();
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  ASSERT_TRUE(port->SetState(dcb));
  EXPECT_EQ(State().ByteSize, 8);
  EXPECT_EQ(State().Parity, 0);
}

// --- Input read ahead -----------------------------------------------------------------

// A burst larger than a read: waits until the device's queue holds all of it, so that the
// first read of the port takes everything the device has in one go.
void SendBurst(PtyPair& pty, const std::string& bytes) {
  ASSERT_TRUE(pty.Send(bytes));
  ASSERT_TRUE(WaitUntil([&] {
    int queued = 0;
    return ::ioctl(pty.slave(), FIONREAD, &queued) == 0 && queued == static_cast<int>(bytes.size());
  }));
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

// Each read still takes at most what it asks for, in order; a purge of the input drops what
// the device gave ahead of the reader as well, and bytes that come after it are read.
TEST_F(CommPosixTest, ReadsTakeAtMostTheirSizeInOrderAndAPurgeDropsWhatWasReadAhead) {
  SetReadTimeouts(kMaxDword, 0, 0);  // only what is there
  const std::string burst = Pattern(3000);
  SendBurst(pty, burst);
  std::string got;
  for (const std::size_t size : {1023u, 10u, 1023u}) {
    const TimedRead read = ReadFrom(*port, size);
    ASSERT_EQ(read.count, static_cast<long>(size));
    got += read.bytes;
  }
  EXPECT_EQ(got, burst.substr(0, got.size()));

  ASSERT_TRUE(port->Purge(kPurgeRxClear));
  EXPECT_EQ(ReadFrom(*port, 1023).count, 0);
  EXPECT_FALSE(port->WaitForInput(50ms));
  ASSERT_TRUE(pty.Send("new"));
  SetReadTimeouts(0, 0, 2000);
  EXPECT_EQ(ReadFrom(*port, 3).bytes, "new");
}

// Bytes the device gave before it went away all reach the reader before the port says so.
TEST_F(CommPosixTest, WhatWasReadBeforeAHangUpIsReadBeforeTheDeviceIsGone) {
  SetReadTimeouts(kMaxDword, 0, 0);
  const std::string burst = Pattern(3000);
  SendBurst(pty, burst);
  std::string got = ReadFrom(*port, 1023).bytes;
  pty.CloseMaster();
  while (true) {
    const TimedRead read = ReadFrom(*port, 1023);
    if (read.count <= 0) break;
    got += read.bytes;
  }
  EXPECT_EQ(got, burst);
  EXPECT_TRUE(port->Gone());
}

// --- Cancel and hang-up ---------------------------------------------------------------

// Two reads at once and a write, all cancelled; nothing of the write goes out.
TEST_F(CommPosixTest, CancelEndsTwoReadsAndAWriteAtOnce) {
  SetReadTimeouts(0, 0, 0);  // and no write time-out either
  ASSERT_TRUE(pty.SuspendOutput());
  Background<TimedRead> first(*port, [&] { return ReadFrom(*port, 10); });
  Background<TimedRead> second(*port, [&] { return ReadFrom(*port, 10); });
  Background<bool> write(*port, [&] { return port->WriteByte(0x5A); });
  EXPECT_FALSE(write.Done(100ms));
  ASSERT_TRUE(CancelUntilDone(*port, first));
  ASSERT_TRUE(CancelUntilDone(*port, second));
  ASSERT_TRUE(CancelUntilDone(*port, write));
  EXPECT_EQ(first.Get().count, -1);
  EXPECT_EQ(second.Get().count, -1);
  EXPECT_FALSE(write.Get());
  ASSERT_TRUE(pty.ResumeOutput());
  EXPECT_EQ(pty.ReceiveAll(), "");
}

TEST_F(CommPosixTest, HangUpEndsAReadAndTellsTheDeviceGone) {
  SetReadTimeouts(0, 0, 0);
  Background<TimedRead> read(*port, [&] { return ReadFrom(*port, 10); });
  EXPECT_FALSE(read.Done(100ms));
  // A cancelled read is no sign of a device gone.
  ASSERT_TRUE(CancelUntilDone(*port, read));
  EXPECT_FALSE(port->Gone());
  Background<TimedRead> next(*port, [&] { return ReadFrom(*port, 10); });
  EXPECT_FALSE(next.Done(100ms));
  pty.CloseMaster();
  ASSERT_TRUE(next.Done(kPrompt));
  EXPECT_EQ(next.Get().count, -1);
  EXPECT_TRUE(port->Gone());
  EXPECT_EQ(ReadFrom(*port, 10).count, -1);
}

}  // namespace
}  // namespace qs::platform
