#include "varek/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace varek {
namespace {

std::tm utcFields(Timestamp time) {
    const std::time_t seconds = SystemClock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(time));
    std::tm fields{};
    gmtime_r(&seconds, &fields);
    return fields;
}

std::string strftimeText(const std::tm& fields, const char* pattern) {
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &fields);
    return std::string(buffer, n);
}

}  // namespace

std::string formatFixed(double value, int decimals) {
    char buffer[400];  // enough for any double in fixed notation
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                   std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "nan";
    return std::string(buffer, end);
}

std::string formatShortest(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, ec == std::errc() ? end : buffer);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string iso8601(Timestamp time) { return strftimeText(utcFields(time), "%Y-%m-%dT%H:%M:%SZ"); }

std::string iso8601Millis(Timestamp time) {
    const auto floored = std::chrono::floor<std::chrono::seconds>(time);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - floored).count();
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis));
    return strftimeText(utcFields(time), "%Y-%m-%dT%H:%M:%S") + fraction + "Z";
}

std::string utcDate(Timestamp time) { return strftimeText(utcFields(time), "%Y-%m-%d"); }

std::string localClock(Timestamp time) {
    const std::time_t seconds = SystemClock::to_time_t(time);
    std::tm fields{};
    localtime_r(&seconds, &fields);
    return strftimeText(fields, "%H:%M:%S");
}

}  // namespace varek
