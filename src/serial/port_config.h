// How a port request becomes a device: the device path, the mode string and the DCB flags.
#pragma once

#include <cstdint>
#include <string>

#include "platform/comm.h"

namespace qs {

// The device type whose every CR the bridge acknowledges with an ACK, and those two bytes.
inline constexpr std::int32_t kAckDeviceType = 108;
inline constexpr std::uint8_t kCarriageReturn = 0x0D;
inline constexpr std::uint8_t kAck = 0x06;

// Upper-cases the letters a to z in place (nothing else: no locale decides).
void UpperCasePortName(std::string& name);

// A COM name counts in upper case: it is upper-cased in place. A device path of the system
// stays exactly as given; true for such a path.
bool NormalizePortName(std::string& name, const platform::CommApi& comm);

// The name under which a port is opened: "\\.\COMn" when the number behind the first "COM"
// is 8 or more (the only form Windows accepts for those), otherwise the name as it stands.
std::string DevicePathFor(const std::string& upperCaseName);

// "baud=%lu data=%i parity=%c stop=%i". A parity byte 0 ends the text after "parity=".
std::string FormatModeString(std::uint32_t baud, std::int32_t dataBits, char parity,
                             std::int32_t stopBits);

// The device types whose devices need CTS output flow control.
bool IsCtsFlowDeviceType(std::int32_t deviceType);

// The DCB flag word after the mode string: parity checking and the error character on,
// DTR and RTS raised while open, DTR and RTS handshake off, CTS flow for the
// device types that need it.
std::uint32_t AdjustDcbFlags(std::uint32_t flags, std::int32_t deviceType);

}  // namespace qs
