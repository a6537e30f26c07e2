#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "varek/device.hpp"

namespace varek::SampleCsv {

/// The first line of every sample CSV file (the desktop export and the recorder).
inline constexpr std::string_view header =
    "time,voltage_V,current_A,power_W,voltage_set_V,current_limit_A,output_enabled,protection,mode\n";

/// One row for `sample`, newline included: UTC time with milliseconds, shortest
/// round-trip numbers, whatever the process locale.
std::string row(const PowerSample& sample);
/// The header followed by one row per sample, in the given order.
std::string document(const std::vector<PowerSample>& samples);
/// How much of `text` is whole lines: the length up to and including its last
/// newline, 0 when it has none. What follows is a row torn by a crash.
std::size_t wholeLines(std::string_view text) noexcept;

}  // namespace varek::SampleCsv
