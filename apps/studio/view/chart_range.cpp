#include "chart_range.hpp"

#include <algorithm>
#include <cmath>

namespace varek {

double metricValue(Metric metric, const PowerSample& sample) {
    switch (metric) {
    case Metric::voltage: return sample.voltage;
    case Metric::current: return sample.current;
    case Metric::power: return sample.power;
    }
    return 0;
}

ChartRange chartYRange(std::span<const double> values, Metric metric) {
    double lo = 0;
    double hi = 1;
    bool seen = false;
    for (double v : values) {
        // A non-finite value would poison the axis; decoded samples never carry one.
        if (!std::isfinite(v)) continue;
        lo = seen ? std::min(lo, v) : v;
        hi = seen ? std::max(hi, v) : v;
        seen = true;
    }
    const double pad = (hi - lo) * 0.25;
    const double minimum = metric == Metric::power ? 1.0 : 0.05;
    const double used = pad <= minimum ? minimum : pad;
    return {std::max(lo - used, 0.0), std::max(hi + used, 0.1)};
}

namespace {

AxisTicks ticksWith(ChartRange range, int mantissa, int exponent) {
    // Negative powers divide by an exact power of ten, so 1198 steps of 0.01 give 11.98.
    const double scale = std::pow(10.0, std::abs(exponent));
    const double step = exponent < 0 ? mantissa / scale : mantissa * scale;
    // The slack absorbs binary fractions: 11.98 / 0.01 may come out a hair above 1198.
    constexpr double slack = 1e-9;
    const double firstIndex = std::ceil(range.lower / step - slack);
    const double lastIndex = std::floor(range.upper / step + slack);
    const double first = exponent < 0 ? firstIndex * mantissa / scale : firstIndex * step;
    return {first, step, std::max(0, -exponent), static_cast<int>(lastIndex - firstIndex) + 1};
}

// Lower is better: inside 4–7 the distance from 5, a tie going to fewer ticks;
// outside, always worse, too many ticks before too few.
double penalty(int count) {
    if (count >= 4 && count <= 7) return std::abs(count - 5) + (count > 5 ? 0.5 : 0.0);
    return count > 7 ? 10.0 + (count - 7) : 10.0 + 2.0 * (4 - count);
}

}  // namespace

AxisTicks chartYTicks(ChartRange range) {
    const double span = range.upper - range.lower;
    if (!(span > 0) || !std::isfinite(span)) return {range.lower, 1, 0, 1};
    const int around = static_cast<int>(std::floor(std::log10(span)));
    AxisTicks best;
    double bestPenalty = 0;
    bool found = false;
    for (int exponent = around - 2; exponent <= around; ++exponent) {
        for (int mantissa : {1, 2, 5}) {
            const AxisTicks ticks = ticksWith(range, mantissa, exponent);
            const double p = penalty(ticks.count);
            if (!found || p < bestPenalty) {
                best = ticks;
                bestPenalty = p;
                found = true;
            }
        }
    }
    return best;
}

}  // namespace varek
