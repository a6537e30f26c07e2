#pragma once

#include <functional>
#include <span>
#include <vector>

#include "varek/device.hpp"

namespace varek {

/// A window of the sample history thinned for a chart by min-max buckets.
struct TrendSeries {
    std::vector<PowerSample> samples;  ///< chronological subsequence of the history
    Timestamp domainStart;
    Timestamp domainEnd;

    /// `history` oldest first; `seconds` below 1 (or NaN) counts as 1; budgets below 5
    /// count as 4. `now` ends the window when the history is empty.
    static TrendSeries make(std::span<const PowerSample> history, double seconds, int maximumPoints,
                            const std::function<double(const PowerSample&)>& value,
                            Timestamp now = SystemClock::now());
};

}  // namespace varek
