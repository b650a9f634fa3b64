// Port names, the mode string and the DCB flag rules.
#include "serial/port_config.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/comm.h"
#include "platform/common/decimal_text.h"

namespace qs {
namespace {

constexpr std::uint32_t kDtrEnable = 1u << platform::kDcbDtrControlShift;
constexpr std::uint32_t kDtrHandshake = 2u << platform::kDcbDtrControlShift;
constexpr std::uint32_t kRtsEnable = 1u << platform::kDcbRtsControlShift;
constexpr std::uint32_t kRtsHandshake = 2u << platform::kDcbRtsControlShift;

constexpr std::uint32_t kFlagsCleared = kDtrHandshake | kRtsHandshake;
constexpr std::uint32_t kFlagsSet =
    platform::kDcbParity | platform::kDcbErrorChar | kDtrEnable | kRtsEnable;
static_assert(kFlagsCleared == 0x2020u && kFlagsSet == 0x1412u);

}  // namespace

void UpperCasePortName(std::string& name) {
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
}

bool NormalizePortName(std::string& name, const platform::CommApi& comm) {
  // A path such as "/dev/ttyUSB0" names its device exactly; upper-cased it names nothing.
  if (comm.IsDevicePath(name)) return true;
  UpperCasePortName(name);
  return false;
}

std::string DevicePathFor(const std::string& upperCaseName) {
  const std::size_t com = upperCaseName.find("COM");
  if (com == std::string::npos) return upperCaseName;
  const std::int32_t number =
      platform::ParseAtoiClamped(std::string_view(upperCaseName).substr(com + 3));
  if (number > 7) return "\\\\.\\COM" + std::to_string(number);
  return upperCaseName;
}

std::string FormatModeString(std::uint32_t baud, std::int32_t dataBits, char parity,
                             std::int32_t stopBits) {
  std::string mode =
      "baud=" + std::to_string(baud) + " data=" + std::to_string(dataBits) + " parity=";
  if (parity == '\0') return mode;
  mode += parity;
  mode += " stop=" + std::to_string(stopBits);
  return mode;
}

bool IsCtsFlowDeviceType(std::int32_t deviceType) {
  static constexpr std::array<std::int32_t, 18> kTypes = {
      10, 22, 23, 36, 72, 85, 89, 120, 132, 136, 154, 182, 208, 212, 220, 225, 227, 272};
  return std::find(kTypes.begin(), kTypes.end(), deviceType) != kTypes.end();
}

std::uint32_t AdjustDcbFlags(std::uint32_t flags, std::int32_t deviceType) {
  flags &= ~kFlagsCleared;
  flags |= kFlagsSet;
  if (IsCtsFlowDeviceType(deviceType)) flags |= platform::kDcbOutxCtsFlow;
  return flags;
}

}  // namespace qs
