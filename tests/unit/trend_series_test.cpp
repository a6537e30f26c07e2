#include "varek/trend_series.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace varek {
namespace {

using namespace std::chrono_literals;

const Timestamp base = Timestamp{} + 1'800'000'000s;
const double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<PowerSample> history(const std::vector<double>& voltages, SystemClock::duration step = 100ms) {
    std::vector<PowerSample> out(voltages.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i].time = base + step * static_cast<int>(i);
        out[i].voltage = voltages[i];
    }
    return out;
}

TrendSeries make(const std::vector<PowerSample>& h, double seconds, int points) {
    return TrendSeries::make(h, seconds, points, [](const PowerSample& s) { return s.voltage; }, base + 24h);
}

std::vector<double> voltages(const TrendSeries& series) {
    std::vector<double> out;
    for (const auto& s : series.samples) out.push_back(s.voltage);
    return out;
}

TEST(TrendSeries, WindowEndsAtTheNewestSampleOrNowAndIsAtLeastOneSecond) {
    const auto empty = make({}, 30, 600);
    EXPECT_TRUE(empty.samples.empty());
    EXPECT_EQ(empty.domainEnd, base + 24h);
    EXPECT_EQ(empty.domainStart, base + 24h - 30s);
    for (const double seconds : {0.2, 0.0, -5.0, nan}) {
        const auto series = make(history({1, 2}), seconds, 600);
        EXPECT_EQ(series.domainEnd - series.domainStart, 1s) << seconds;
    }
    // Ten minutes, one sample a second, long ago: the last 60 s before the newest count.
    std::vector<double> v(600);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i);
    const auto series = make(history(v, 1s), 60, 600);
    EXPECT_EQ(series.domainEnd, base + 599s);
    ASSERT_EQ(series.samples.size(), 61u);
    EXPECT_EQ(series.samples.front().voltage, 539);
}

TEST(TrendSeries, UnorderedHistoryKeepsOnlyTheTrailingRun) {
    auto h = history({0, 1, 2, 3, 4, 5});
    h[3].time = base - 1h;
    EXPECT_EQ(voltages(make(h, 10, 600)), (std::vector<double>{4, 5}));
}

TEST(TrendSeries, BudgetsBelowFiveCountAsFour) {
    // Bucket size 8 spans indices 1..8: maximum at 2, minimum at 6, kept in index order.
    const auto h = history({5, 6, 9, 7, 6, 5, 1, 4, 5, 5});
    for (const int points : {-3, 0, 1, 2, 3, 4}) {
        const auto series = make(h, 60, points);
        EXPECT_EQ(voltages(series), (std::vector<double>{5, 9, 1, 5})) << points;
    }
    EXPECT_EQ(make(h, 60, 10).samples.size(), 10u);
}

TEST(TrendSeries, OneOverTheBudgetUsesBucketsOfThree) {
    // n = 601, m = 600: b = ceil(599 / 299) = 3; bucket [1, 4) holds 1, 2, 0.
    std::vector<double> v(601);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i % 3);
    const auto h = history(v, 10ms);
    const auto series = make(h, 60, 600);
    EXPECT_LE(series.samples.size(), 600u);
    EXPECT_EQ(series.samples[1].time, h[2].time);
    EXPECT_EQ(series.samples[2].time, h[3].time);
    EXPECT_EQ(series.samples[3].time, h[5].time);  // bucket [4, 7) holds 1, 2, 0 again
}

TEST(TrendSeries, ExtremesSurviveAndFlatBucketsGiveOneSample) {
    EXPECT_EQ(make(history(std::vector<double>(10, 2.5)), 60, 4).samples.size(), 3u);
    for (const std::size_t spike : {1u, 777u, 35998u}) {
        std::vector<double> v(36000, 12.0);
        v[spike] = 60.0;
        v[spike / 2 + 3] = -1.0;
        const auto series = make(history(v), 3600, 600);
        const auto out = voltages(series);
        EXPECT_LE(out.size(), 600u);
        EXPECT_NE(std::find(out.begin(), out.end(), 60.0), out.end()) << spike;
        EXPECT_NE(std::find(out.begin(), out.end(), -1.0), out.end()) << spike;
        EXPECT_TRUE(std::is_sorted(series.samples.begin(), series.samples.end(),
                                   [](const auto& a, const auto& b) { return a.time < b.time; }));
    }
}

TEST(TrendSeries, NaNNeverDisplacesACandidate) {
    const auto leading = make(history({0, nan, 3, 1, 2, 9, 4, 5, 6, 0}), 60, 4);
    ASSERT_EQ(leading.samples.size(), 3u);
    EXPECT_TRUE(std::isnan(leading.samples[1].voltage));
    EXPECT_EQ(voltages(make(history({0, 3, nan, 1, nan, 9, 4, 5, 6, 0}), 60, 4)),
              (std::vector<double>{0, 1, 9, 0}));
}

}  // namespace
}  // namespace varek
