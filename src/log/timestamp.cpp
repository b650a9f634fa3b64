// Two-digit fields with leading zeros, built by hand so no locale can change them.
#include "log/timestamp.h"

namespace qs {
namespace {

void AppendTwoDigits(std::string& out, int value) {
  const int clamped = ((value % 100) + 100) % 100;
  out += static_cast<char>('0' + clamped / 10);
  out += static_cast<char>('0' + clamped % 10);
}

std::string ThreeFields(int a, int b, int c, char separator) {
  std::string out;
  out.reserve(8);
  AppendTwoDigits(out, a);
  out += separator;
  AppendTwoDigits(out, b);
  out += separator;
  AppendTwoDigits(out, c);
  return out;
}

}  // namespace

std::string FormatLogTime(const platform::LocalTime& time) {
  return ThreeFields(time.hour, time.minute, time.second, ':');
}

std::string FormatLogDate(const platform::LocalTime& time) {
  return ThreeFields(time.month, time.day, time.year % 100, '/');
}

}  // namespace qs
