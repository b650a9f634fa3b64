// The event log's time and date stamps: "HH:MM:SS" and "MM/DD/YY", whatever the locale.
#pragma once

#include <string>

#include "platform/clock.h"

namespace qs {

std::string FormatLogTime(const platform::LocalTime& time);
std::string FormatLogDate(const platform::LocalTime& time);

}  // namespace qs
