#pragma once

#include <string>

#include "varek/device.hpp"

namespace varek {

/// Fixed notation with `decimals` digits, '.' separator, whatever the process locale.
std::string formatFixed(double value, int decimals);
/// "%.2f" without the C locale.
inline std::string formatFixed2(double value) { return formatFixed(value, 2); }
/// Shortest text that reads back to the same double; ".0" added when it has no point
/// or exponent (1 -> "1.0", 12.4 -> "12.4").
std::string formatShortest(double value);
/// "YYYY-MM-DDTHH:MM:SSZ" in UTC, whole seconds (truncated).
std::string iso8601(Timestamp time);
/// "YYYY-MM-DDTHH:MM:SS.mmmZ" in UTC.
std::string iso8601Millis(Timestamp time);
/// "YYYY-MM-DD" of `time` in UTC.
std::string utcDate(Timestamp time);
/// "HH:MM:SS" of `time` in the local time zone, 24-hour.
std::string localClock(Timestamp time);

}  // namespace varek
