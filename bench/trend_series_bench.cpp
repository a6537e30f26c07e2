// Thinning a full history (36000 samples, one hour at 10 Hz) to the chart's 600 points,
// as the dashboard does on every redraw.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "varek/trend_series.hpp"

namespace {

using namespace std::chrono_literals;

std::vector<varek::PowerSample> fullHistory() {
    std::vector<varek::PowerSample> history(36000);
    const varek::Timestamp start = varek::SystemClock::now() - 1h;
    for (std::size_t i = 0; i < history.size(); ++i) {
        history[i].time = start + 100ms * static_cast<int>(i);
        history[i].voltage = 12.0 + std::sin(static_cast<double>(i) * 0.01);
        history[i].current = 1.0 + 0.1 * std::cos(static_cast<double>(i) * 0.003);
    }
    return history;
}

void BM_TrendSeriesFullHour(benchmark::State& state) {
    const auto history = fullHistory();
    const double seconds = static_cast<double>(state.range(0));
    for (auto _ : state) {
        auto series = varek::TrendSeries::make(history, seconds, 600,
                                               [](const varek::PowerSample& s) { return s.voltage; });
        benchmark::DoNotOptimize(series.samples.data());
    }
}
// 3600 s keeps all 36000 samples in the window; 300 s is the dashboard's widest choice.
BENCHMARK(BM_TrendSeriesFullHour)->Arg(3600)->Arg(300)->Unit(benchmark::kMicrosecond);

// Reference in the same run: one plain pass over the same history reading the value,
// the least any thinning must do.
void BM_ReferenceScan(benchmark::State& state) {
    const auto history = fullHistory();
    for (auto _ : state) {
        double sum = 0;
        for (const auto& s : history) sum += s.voltage;
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_ReferenceScan)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
