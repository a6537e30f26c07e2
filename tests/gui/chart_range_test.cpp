#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "chart_range.hpp"
#include "sidebar.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

struct RangeCase {
    const char* name;
    Metric metric;
    std::vector<double> values;
    double lower;
    double upper;
};

class ChartRangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(ChartRangeTest, FollowsThePaddingRule) {
    const RangeCase& c = GetParam();
    const ChartRange range = chartYRange(c.values, c.metric);
    EXPECT_NEAR(range.lower, c.lower, 1e-9);
    EXPECT_NEAR(range.upper, c.upper, 1e-9);
    EXPECT_LE(range.lower, range.upper);
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, ChartRangeTest,
    testing::Values(RangeCase{"FlatVoltage", Metric::voltage, {12.0, 12.0, 12.0}, 11.95, 12.05},
                    RangeCase{"PowerTenToThirty", Metric::power, {10, 30, 20}, 5, 35},
                    RangeCase{"FlatZeroCurrentKeepsAVisibleBand", Metric::current, {0, 0}, 0, 0.1},
                    RangeCase{"NarrowPowerUsesTheOneWattMinimum", Metric::power, {10, 12}, 9, 13},
                    RangeCase{"WideVoltageUsesAQuarterOfTheSpan", Metric::voltage, {4, 8}, 3, 9},
                    RangeCase{"NeverBelowZero", Metric::current, {0.5, 4.5}, 0, 5.5},
                    RangeCase{"EmptyVoltage", Metric::voltage, {}, 0, 1.25},
                    RangeCase{"EmptyPower", Metric::power, {}, 0, 2},
                    RangeCase{"NotANumberIsSkipped", Metric::voltage, {nan, 12.0, nan}, 11.95, 12.05}),
    [](const testing::TestParamInfo<RangeCase>& info) { return info.param.name; });

struct TicksCase {
    const char* name;
    ChartRange range;
    double step;
    std::vector<std::string> labels;
};

class ChartTicksTest : public testing::TestWithParam<TicksCase> {};

TEST_P(ChartTicksTest, FallOnRoundMultiplesInsideTheRange) {
    const TicksCase& c = GetParam();
    const AxisTicks ticks = chartYTicks(c.range);
    EXPECT_DOUBLE_EQ(ticks.step, c.step);
    std::vector<std::string> labels;
    for (int i = 0; i < ticks.count; ++i) labels.push_back(formatFixed(ticks.first + i * ticks.step, ticks.decimals));
    EXPECT_EQ(labels, c.labels);
    // Every multiple of the step inside the range is a tick, and only those.
    EXPECT_NEAR(std::remainder(ticks.first, ticks.step), 0, 1e-9);
    EXPECT_GE(ticks.first, c.range.lower - 1e-9);
    EXPECT_LT(ticks.first - ticks.step, c.range.lower);
    EXPECT_LE(ticks.first + (ticks.count - 1) * ticks.step, c.range.upper + 1e-9);
    EXPECT_GT(ticks.first + ticks.count * ticks.step, c.range.upper);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChartTicksTest,
    testing::Values(
        TicksCase{"SmallCurrentTakesFifths", {0, 0.63}, 0.2, {"0.0", "0.2", "0.4", "0.6"}},
        TicksCase{"VoltageToTwelve", {0, 12.4}, 2, {"0", "2", "4", "6", "8", "10", "12"}},
        TicksCase{"NarrowBandAroundTwelve", {11.98, 12.02}, 0.01, {"11.98", "11.99", "12.00", "12.01", "12.02"}},
        TicksCase{"FlatVoltageBand", {11.95, 12.05}, 0.02, {"11.96", "11.98", "12.00", "12.02", "12.04"}},
        TicksCase{"PowerFiveToThirtyFive", {5, 35}, 5, {"5", "10", "15", "20", "25", "30", "35"}},
        TicksCase{"EmptyVoltageDefault", {0, 1.25}, 0.2, {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0", "1.2"}},
        TicksCase{"FlatZeroCurrent", {0, 0.1}, 0.02, {"0.00", "0.02", "0.04", "0.06", "0.08", "0.10"}},
        TicksCase{"UnalignedLowerBound", {3.3, 9.1}, 1, {"4", "5", "6", "7", "8", "9"}},
        TicksCase{"NoStepGivesFourToSevenSoEightBeforeThree", {0, 14.5}, 2,
                  {"0", "2", "4", "6", "8", "10", "12", "14"}},
        TicksCase{"WithoutExtentOneTick", {2, 2}, 1, {"2"}}),
    [](const testing::TestParamInfo<TicksCase>& info) { return info.param.name; });

TEST(PortDisplayName, DropsTheDeviceDirectory) {
    EXPECT_EQ(portDisplayName(QStringLiteral("/dev/ttyUSB0")), QStringLiteral("ttyUSB0"));
    EXPECT_EQ(portDisplayName(QStringLiteral("/dev/pts/7")), QStringLiteral("pts/7"));
    EXPECT_EQ(portDisplayName(QStringLiteral("ttyACM0")), QStringLiteral("ttyACM0"));
}

}  // namespace
}  // namespace varek
