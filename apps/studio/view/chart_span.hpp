#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "chart_range.hpp"
#include "varek/device.hpp"
#include "varek/trend_series.hpp"

namespace varek {

class SampleHistory;

/// A stretch of the time axis in milliseconds since the epoch, `start` ≤ `end`.
struct TimeSpan {
    double start = 0;
    double end = 0;
    /// `end` − `start`.
    double length() const { return end - start; }
    /// True when `time` lies within start … end, both included.
    bool contains(double time) const { return time >= start && time <= end; }
    friend bool operator==(const TimeSpan&, const TimeSpan&) = default;
};

/// Milliseconds since the epoch of `time`, with its sub-millisecond part.
double epochMillis(Timestamp time);
/// The time `millis` milliseconds after the epoch.
Timestamp fromEpochMillis(double millis);

/// How the plot maps its axis span onto pixels: `left` is the plot's first pixel column.
struct AxisMap {
    double left = 0;
    double width = 1;
    TimeSpan span;
    /// The time under pixel column `x` (outside the plot it extrapolates).
    double timeAt(double x) const;
    /// The pixel column of `time`.
    double pixelAt(double time) const;
};

/// Shortest span a zoom reaches, in milliseconds.
inline constexpr double minimumSpanMillis = 1000;

/// `span` moved, never stretched, to lie inside `bounds`; longer than `bounds` becomes `bounds`.
TimeSpan clampSpan(TimeSpan span, TimeSpan bounds);

/// `span` scaled by `factor` (below 1 zooms in) around `anchor`, which keeps its place in
/// the span; the length stays between `minimumSpanMillis` and the length of `bounds`,
/// and the result is clamped into `bounds`.
TimeSpan zoomAround(TimeSpan span, double anchor, double factor, TimeSpan bounds);

/// `span` shifted later by `delta` milliseconds (earlier when negative), clamped into `bounds`.
TimeSpan panBy(TimeSpan span, double delta, TimeSpan bounds);

/// The span between two selected times in either order, widened around its middle to
/// `minimumSpanMillis` when narrower, clamped into `bounds`.
TimeSpan selectionSpan(double from, double to, TimeSpan bounds);

/// Index of the time in `times` (ascending) nearest to `time`; the earlier one on a tie;
/// none when `times` is empty.
std::optional<std::size_t> nearestIndex(std::span<const double> times, double time);

/// Half-open index range [first, last) of history positions.
struct IndexRange {
    std::size_t first = 0;
    std::size_t last = 0;
    /// Number of positions in the range.
    std::size_t size() const { return last - first; }
    friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

/// Positions of the samples of `history` (times ascending) taken within `span`, plus,
/// when `withNeighbours`, the nearest sample outside it on each side, so a line drawn
/// through them reaches both edges of the span.
IndexRange indicesWithin(const SampleHistory& history, TimeSpan span, bool withNeighbours);

/// Samples [range.first, range.last) of `history` in one piece: a view into it, or a
/// copy in `scratch` when the range straddles the history's wrap.
std::span<const PowerSample> sliceOf(const SampleHistory& history, IndexRange range,
                                     std::vector<PowerSample>& scratch);

/// The chart series for a zoomed `span`: its samples and the nearest neighbour on each side,
/// thinned to `budget` points by `TrendSeries`; the domain is `span`.
TrendSeries spanSeries(const SampleHistory& history, TimeSpan span, int budget, Metric metric,
                       std::vector<PowerSample>& scratch);

}  // namespace varek
