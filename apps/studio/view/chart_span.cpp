#include "chart_span.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "sample_history.hpp"

namespace varek {
namespace {

// First position whose sample is not before `time` (or, with `after`, is after it).
std::size_t partitionPoint(const SampleHistory& history, double time, bool after) {
    std::size_t low = 0;
    std::size_t high = history.size();
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        const double t = epochMillis(history[mid].time);
        if (after ? t <= time : t < time) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

}  // namespace

double epochMillis(Timestamp time) {
    return std::chrono::duration<double, std::milli>(time.time_since_epoch()).count();
}

Timestamp fromEpochMillis(double millis) {
    return Timestamp(std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double, std::milli>(millis)));
}

double AxisMap::timeAt(double x) const { return span.start + (x - left) / width * span.length(); }

double AxisMap::pixelAt(double time) const { return left + (time - span.start) / span.length() * width; }

TimeSpan clampSpan(TimeSpan span, TimeSpan bounds) {
    if (span.length() >= bounds.length()) return bounds;
    if (span.start < bounds.start) return {bounds.start, bounds.start + span.length()};
    if (span.end > bounds.end) return {bounds.end - span.length(), bounds.end};
    return span;
}

TimeSpan zoomAround(TimeSpan span, double anchor, double factor, TimeSpan bounds) {
    if (!(span.length() > 0) || !(factor > 0)) return clampSpan(span, bounds);
    const double ceiling = std::max(bounds.length(), minimumSpanMillis);
    const double length = std::clamp(span.length() * factor, minimumSpanMillis, ceiling);
    // The anchor keeps its fraction of the span, hence its pixel column.
    const double share = (anchor - span.start) / span.length();
    const double start = anchor - share * length;
    return clampSpan({start, start + length}, bounds);
}

TimeSpan panBy(TimeSpan span, double delta, TimeSpan bounds) {
    return clampSpan({span.start + delta, span.end + delta}, bounds);
}

TimeSpan selectionSpan(double from, double to, TimeSpan bounds) {
    TimeSpan span{std::min(from, to), std::max(from, to)};
    if (span.length() < minimumSpanMillis) {
        const double middle = (span.start + span.end) / 2;
        span = {middle - minimumSpanMillis / 2, middle + minimumSpanMillis / 2};
    }
    return clampSpan(span, bounds);
}

std::optional<std::size_t> nearestIndex(std::span<const double> times, double time) {
    if (times.empty()) return std::nullopt;
    const auto after = std::lower_bound(times.begin(), times.end(), time);
    if (after == times.begin()) return 0;
    if (after == times.end()) return times.size() - 1;
    const auto before = after - 1;
    const bool earlier = time - *before <= *after - time;
    return static_cast<std::size_t>((earlier ? before : after) - times.begin());
}

IndexRange indicesWithin(const SampleHistory& history, TimeSpan span, bool withNeighbours) {
    IndexRange range{partitionPoint(history, span.start, false), partitionPoint(history, span.end, true)};
    if (withNeighbours) {
        if (range.first > 0) --range.first;
        if (range.last < history.size()) ++range.last;
    }
    return range;
}

std::span<const PowerSample> sliceOf(const SampleHistory& history, IndexRange range,
                                     std::vector<PowerSample>& scratch) {
    const auto [older, newer] = history.runs();
    if (range.last <= older.size()) return older.subspan(range.first, range.size());
    if (range.first >= older.size()) return newer.subspan(range.first - older.size(), range.size());
    scratch.assign(older.begin() + static_cast<std::ptrdiff_t>(range.first), older.end());
    scratch.insert(scratch.end(), newer.begin(), newer.begin() + static_cast<std::ptrdiff_t>(range.last - older.size()));
    return scratch;
}

TrendSeries spanSeries(const SampleHistory& history, TimeSpan span, int budget, Metric metric,
                       std::vector<PowerSample>& scratch) {
    const std::span<const PowerSample> slice = sliceOf(history, indicesWithin(history, span, true), scratch);
    // A window a millisecond longer than the slice, so TrendSeries keeps all of it.
    const double seconds = slice.empty() ? 1.0 : std::chrono::duration<double>(slice.back().time - slice.front().time).count() + 0.001;
    TrendSeries series = TrendSeries::make(slice, seconds, budget,
                                           [metric](const PowerSample& s) { return metricValue(metric, s); });
    series.domainStart = fromEpochMillis(span.start);
    series.domainEnd = fromEpochMillis(span.end);
    return series;
}

}  // namespace varek
