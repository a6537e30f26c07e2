#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "chart_range.hpp"
#include "sidebar.hpp"

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

TEST(PortDisplayName, DropsTheDeviceDirectory) {
    EXPECT_EQ(portDisplayName(QStringLiteral("/dev/ttyUSB0")), QStringLiteral("ttyUSB0"));
    EXPECT_EQ(portDisplayName(QStringLiteral("/dev/pts/7")), QStringLiteral("pts/7"));
    EXPECT_EQ(portDisplayName(QStringLiteral("ttyACM0")), QStringLiteral("ttyACM0"));
}

}  // namespace
}  // namespace varek
