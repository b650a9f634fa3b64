// Translation between the Win32 device-control block and Linux termios2 line settings.
#include "platform/posix/comm_posix_termios.h"

#include <cstddef>
#include <cstdint>

namespace qs::platform::posix {
namespace {

constexpr std::uint32_t kRtsHandshake = 2u << kDcbRtsControlShift;
constexpr std::uint32_t kRtsEnable = 1u << kDcbRtsControlShift;

// The flag bits that termios shows; everything else comes from the kept block.
constexpr std::uint32_t kMappedFlags =
    kDcbBinary | kDcbParity | kDcbOutxCtsFlow | kDcbOutX | kDcbInX | kDcbRtsControlMask;

}  // namespace

bool IsAcceptableDcb(const Dcb& dcb) {
  if (dcb.BaudRate == 0) return false;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > 4) return false;
  if (dcb.StopBits > kTwoStopBits) return false;
  if (dcb.StopBits == kOne5StopBits && dcb.ByteSize != 5) return false;
  if (dcb.StopBits == kTwoStopBits && dcb.ByteSize == 5) return false;
  if ((dcb.flags & kDcbDtrControlMask) == kDcbDtrControlMask) return false;
  // Equal XON and XOFF characters only matter when XON/XOFF flow control would use them:
  // a block zeroed and filled from a mode string has both at 0, and Windows opens it.
  if (dcb.XonChar == dcb.XoffChar && (dcb.flags & (kDcbOutX | kDcbInX)) != 0) return false;
  return true;
}

void MakeRaw(termios2& tio) {
  // IXON goes too: a new Linux tty has it on, and it would swallow 0x11 and 0x13 from a
  // binary stream that never asked for flow control.
  tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IUCLC | IXON | IXOFF | IXANY | IMAXBEL | IUTF8);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK |
                                        ECHOCTL | ECHOKE | TOSTOP | XCASE);
  // HUPCL drops the modem lines on the last close, as Windows does; CLOCAL keeps a missing
  // carrier from blocking opens and reads.
  tio.c_cflag |= CREAD | CLOCAL | HUPCL;
  // VMIN 1: with 0 an empty non-blocking read returns 0 (which means hang-up to us) instead of
  // EAGAIN; above 1 poll() misses a single queued byte.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
}

void ApplyDcb(const Dcb& dcb, termios2& tio) {
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = dcb.BaudRate;
  tio.c_ospeed = dcb.BaudRate;

  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case 1:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      tio.c_cflag |= PARENB;
      break;
    case 3:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.StopBits != kOneStopBit) tio.c_cflag |= CSTOPB;
  // Linux has one switch for both halves of RTS/CTS flow control.
  if ((dcb.flags & kDcbOutxCtsFlow) != 0 || (dcb.flags & kDcbRtsControlMask) == kRtsHandshake) {
    tio.c_cflag |= CRTSCTS;
  }

  // INPCK only: PARMRK would double every 0xFF data byte.
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | PARMRK | IXON | IXOFF);
  if ((dcb.flags & kDcbParity) != 0) tio.c_iflag |= INPCK;
  if ((dcb.flags & kDcbOutX) != 0) tio.c_iflag |= IXON;
  if ((dcb.flags & kDcbInX) != 0) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

Dcb DcbFromTermios(const termios2& tio, const Dcb& kept) {
  Dcb dcb = kept;
  dcb.DCBlength = static_cast<std::uint32_t>(kDcbSize);
  dcb.BaudRate = tio.c_ospeed;

  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }

  if ((tio.c_cflag & PARENB) == 0) {
    dcb.Parity = 0;
  } else if ((tio.c_cflag & CMSPAR) != 0) {
    dcb.Parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;
  } else {
    dcb.Parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;
  }

  // CSTOPB means 1.5 stop bits with 5 data bits and 2 otherwise.
  if ((tio.c_cflag & CSTOPB) == 0) {
    dcb.StopBits = kOneStopBit;
  } else {
    dcb.StopBits = dcb.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
  }

  std::uint32_t flags = (kept.flags & ~kMappedFlags) | kDcbBinary;
  if ((tio.c_iflag & INPCK) != 0) flags |= kDcbParity;
  if ((tio.c_iflag & IXON) != 0) flags |= kDcbOutX;
  if ((tio.c_iflag & IXOFF) != 0) flags |= kDcbInX;
  const std::uint32_t keptRts = kept.flags & kDcbRtsControlMask;
  if ((tio.c_cflag & CRTSCTS) != 0) {
    const bool keptCts = (kept.flags & kDcbOutxCtsFlow) != 0;
    if (keptCts || keptRts == kRtsHandshake) {
      // Report which half the caller asked for.
      flags |= (kept.flags & kDcbOutxCtsFlow) | keptRts;
    } else {
      // Someone else turned it on: both halves are active.
      flags |= kDcbOutxCtsFlow | kRtsHandshake;
    }
  } else {
    flags |= keptRts == kRtsHandshake ? kRtsEnable : keptRts;
  }
  dcb.flags = flags;

  dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return dcb;
}

std::chrono::nanoseconds CharacterTime(const termios2& tio) {
  if (tio.c_ospeed == 0) return std::chrono::nanoseconds::zero();
  static constexpr std::int64_t kDataBits[] = {5, 6, 7, 8};
  const std::size_t size = (tio.c_cflag & CSIZE) == CS5   ? 0
                           : (tio.c_cflag & CSIZE) == CS6 ? 1
                           : (tio.c_cflag & CSIZE) == CS7 ? 2
                                                          : 3;
  // In half bits, for the one and a half stop bits of a 5-bit frame.
  std::int64_t halfBits = 2 * (1 + kDataBits[size]);
  if ((tio.c_cflag & PARENB) != 0) halfBits += 2;
  if ((tio.c_cflag & CSTOPB) == 0) {
    halfBits += 2;
  } else {
    halfBits += size == 0 ? 3 : 4;
  }
  return std::chrono::nanoseconds(halfBits * 500'000'000 / tio.c_ospeed);
}

Dcb DefaultKeptDcb() {
  Dcb dcb{};
  dcb.DCBlength = static_cast<std::uint32_t>(kDcbSize);
  dcb.flags = kDcbBinary | (1u << kDcbDtrControlShift) | kRtsEnable;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  return dcb;
}

}  // namespace qs::platform::posix
