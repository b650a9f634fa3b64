// Translation between the Win32 device-control block and Linux termios2 line settings.
#pragma once

#include <asm/termbits.h>

#include <chrono>

#include "platform/comm.h"

namespace qs::platform::posix {

// What SetCommState would refuse: a rate of 0, data bits outside 5-8, an unknown parity,
// impossible stop-bit combinations, DTR control 3, or equal XON and XOFF characters.
bool IsAcceptableDcb(const Dcb& dcb);

// Turns off every kind of input and output processing, XON/XOFF included, so bytes pass
// unchanged; keeps the rate, the frame and RTS/CTS flow control as they were.
void MakeRaw(termios2& tio);

// Writes the line settings of dcb into tio (which must already be raw).
void ApplyDcb(const Dcb& dcb, termios2& tio);

// Builds the block from what the device reports, taking the fields termios has no place
// for from kept (the last block set, or the defaults).
Dcb DcbFromTermios(const termios2& tio, const Dcb& kept);

// How long one character takes on the line at the output rate: start bit, data, parity and
// stop bits. Zero when the rate is 0.
std::chrono::nanoseconds CharacterTime(const termios2& tio);

// The block a port reports before anyone has set one.
Dcb DefaultKeptDcb();

}  // namespace qs::platform::posix
