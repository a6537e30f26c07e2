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

}  // namespace varek
