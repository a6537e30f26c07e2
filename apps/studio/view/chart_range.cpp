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

}  // namespace varek
