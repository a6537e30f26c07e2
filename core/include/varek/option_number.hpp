#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace varek {

/// A command-line number: plain decimal digits with one optional leading '+', within
/// [low, high]; nothing for anything else (signs, spaces, decimals, overflow).
inline std::optional<long> optionNumber(std::string_view text, long low, long high) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace varek
