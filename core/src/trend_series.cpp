#include "varek/trend_series.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>

namespace varek {
namespace {

constexpr double maximumSeconds = 3e9;

// Samples of the window: the trailing run of `history` at or after `start`. The walk
// stops at the first older sample, so a history that is out of order keeps only its
// newest consistent stretch.
std::span<const PowerSample> windowOf(std::span<const PowerSample> history, Timestamp start) {
    std::size_t first = history.size();
    while (first > 0 && history[first - 1].time >= start) --first;
    return history.subspan(first);
}

// Appends the extremes of window[s, e) in index order. Strict comparisons keep the
// first index on ties and never let NaN displace a candidate.
void appendExtremes(std::span<const PowerSample> window, std::size_t s, std::size_t e,
                    const std::function<double(const PowerSample&)>& value,
                    std::vector<PowerSample>& out) {
    std::size_t minIndex = s;
    std::size_t maxIndex = s;
    double minValue = value(window[s]);
    double maxValue = minValue;
    for (std::size_t i = s + 1; i < e; ++i) {
        const double v = value(window[i]);
        if (v < minValue) {
            minValue = v;
            minIndex = i;
        }
        if (v > maxValue) {
            maxValue = v;
            maxIndex = i;
        }
    }
    if (minIndex == maxIndex) {
        out.push_back(window[minIndex]);
        return;
    }
    out.push_back(window[std::min(minIndex, maxIndex)]);
    out.push_back(window[std::max(minIndex, maxIndex)]);
}

}  // namespace

TrendSeries TrendSeries::make(std::span<const PowerSample> history, double seconds, int maximumPoints,
                              const std::function<double(const PowerSample&)>& value, Timestamp now) {
    const Timestamp end = history.empty() ? now : history.back().time;
    // `!(seconds >= 1.0)` also catches NaN. The upper clamp (about 95 years) keeps the
    // nanosecond conversion below from overflowing on absurd or infinite lengths.
    const double length = !(seconds >= 1.0) ? 1.0 : std::min(seconds, maximumSeconds);
    const auto span = std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::duration<double>(length));
    const Timestamp start = end - span;

    TrendSeries series;
    series.domainStart = start;
    series.domainEnd = end;

    const std::span<const PowerSample> window = windowOf(history, start);
    const std::size_t budget = maximumPoints < 5 ? 4 : static_cast<std::size_t>(maximumPoints);
    const std::size_t n = window.size();
    if (n <= budget) {
        series.samples.assign(window.begin(), window.end());
        return series;
    }

    const std::size_t halfBudget = (budget - 2) / 2;
    const auto bucket = static_cast<std::size_t>(
        std::ceil(static_cast<double>(n - 2) / static_cast<double>(halfBudget)));
    series.samples.reserve(2 + 2 * halfBudget);
    series.samples.push_back(window.front());
    for (std::size_t s = 1; s < n - 1; s += bucket) {
        appendExtremes(window, s, std::min(s + bucket, n - 1), value, series.samples);
    }
    series.samples.push_back(window.back());
    return series;
}

}  // namespace varek
