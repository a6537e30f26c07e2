#pragma once

#include <span>

#include "varek/device.hpp"

namespace varek {

/// The quantity the trend chart plots.
enum class Metric { voltage, current, power };

/// The plotted value of `sample` for `metric`.
double metricValue(Metric metric, const PowerSample& sample);

/// Vertical extent of the trend chart.
struct ChartRange {
    double lower = 0;
    double upper = 1;
};

/// Y range for `values`: a quarter of the span as padding, at least 1.0 for power and
/// 0.05 otherwise, never below zero, upper bound at least 0.1. Empty means 0…1 padded.
ChartRange chartYRange(std::span<const double> values, Metric metric);

/// Tick marks of the Y axis: `count` ticks, `step` apart from `first`.
struct AxisTicks {
    double first = 0;  ///< the lowest tick inside the range, a whole multiple of `step`
    double step = 1;   ///< 1, 2 or 5 times a power of ten
    int decimals = 0;  ///< label decimals: as many as the step has, no more
    int count = 1;
};

/// Ticks for `range`: of the 1-2-5 steps giving 4 to 7 ticks inside it, the one
/// nearest 5 (fewer ticks on a tie); when no such step exists, the count nearest that
/// band, more before fewer. A range without extent gets one tick at its lower end.
AxisTicks chartYTicks(ChartRange range);

}  // namespace varek
