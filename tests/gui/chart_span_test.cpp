// The arithmetic behind hover, zoom and pan, without a widget.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "chart_span.hpp"
#include "power_model.hpp"
#include "sample_history.hpp"

namespace varek {
namespace {

constexpr TimeSpan bounds{0, 100000};

struct ZoomCase {
    const char* name;
    TimeSpan span;
    double anchor;
    double factor;
    TimeSpan expected;
};

class ZoomAroundTest : public testing::TestWithParam<ZoomCase> {};

TEST_P(ZoomAroundTest, KeepsTheAnchorInPlaceWithinTheBounds) {
    const ZoomCase& c = GetParam();
    const TimeSpan got = zoomAround(c.span, c.anchor, c.factor, bounds);
    EXPECT_NEAR(got.start, c.expected.start, 1e-6);
    EXPECT_NEAR(got.end, c.expected.end, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZoomAroundTest,
    testing::Values(ZoomCase{"InAroundTheMiddle", {10000, 20000}, 15000, 0.5, {12500, 17500}},
                    ZoomCase{"InAroundAQuarterKeepsTheQuarter", {10000, 20000}, 12500, 0.5, {11250, 16250}},
                    ZoomCase{"OutAroundTheEnd", {10000, 20000}, 20000, 2, {0, 20000}},
                    ZoomCase{"NeverNarrowerThanOneSecond", {10000, 12000}, 11000, 0.01, {10500, 11500}},
                    ZoomCase{"NeverWiderThanTheBounds", {40000, 60000}, 50000, 100, bounds},
                    ZoomCase{"OutPastTheStartIsMovedBackIn", {1000, 11000}, 2000, 3, {0, 30000}},
                    ZoomCase{"OutPastTheEndIsMovedBackIn", {89000, 99000}, 98000, 3, {70000, 100000}}),
    [](const testing::TestParamInfo<ZoomCase>& info) { return info.param.name; });

struct PanCase {
    const char* name;
    TimeSpan span;
    double delta;
    TimeSpan expected;
};

class PanByTest : public testing::TestWithParam<PanCase> {};

TEST_P(PanByTest, MovesWithoutStretching) {
    const PanCase& c = GetParam();
    EXPECT_EQ(panBy(c.span, c.delta, bounds), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PanByTest,
                         testing::Values(PanCase{"Later", {10000, 20000}, 5000, {15000, 25000}},
                                         PanCase{"Earlier", {10000, 20000}, -5000, {5000, 15000}},
                                         PanCase{"StopsAtTheOldestEdge", {10000, 20000}, -50000, {0, 10000}},
                                         PanCase{"StopsAtTheNewestEdge", {80000, 95000}, 50000, {85000, 100000}}),
                         [](const testing::TestParamInfo<PanCase>& info) { return info.param.name; });

TEST(SelectionSpan, OrdersTheEndsAndWidensATinySelectionAroundItsMiddle) {
    EXPECT_EQ(selectionSpan(30000, 20000, bounds), (TimeSpan{20000, 30000}));
    EXPECT_EQ(selectionSpan(5000, 5200, bounds), (TimeSpan{4600, 5600}));
    EXPECT_EQ(selectionSpan(100, 100, bounds), (TimeSpan{0, 1000}));
}

TEST(AxisMap, PixelAndTimeAreInverse) {
    const AxisMap map{40, 600, {1000, 7000}};
    EXPECT_DOUBLE_EQ(map.timeAt(40), 1000);
    EXPECT_DOUBLE_EQ(map.timeAt(340), 4000);
    EXPECT_DOUBLE_EQ(map.pixelAt(7000), 640);
    EXPECT_DOUBLE_EQ(map.pixelAt(map.timeAt(123.5)), 123.5);
}

struct NearestCase {
    const char* name;
    std::vector<double> times;
    double time;
    std::optional<std::size_t> expected;
};

class NearestIndexTest : public testing::TestWithParam<NearestCase> {};

TEST_P(NearestIndexTest, SnapsToTheClosestPoint) {
    const NearestCase& c = GetParam();
    EXPECT_EQ(nearestIndex(c.times, c.time), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearestIndexTest,
    testing::Values(NearestCase{"Empty", {}, 5, std::nullopt}, NearestCase{"BeforeTheFirst", {10, 20, 30}, -4, 0},
                    NearestCase{"AfterTheLast", {10, 20, 30}, 99, 2}, NearestCase{"Exact", {10, 20, 30}, 20, 1},
                    NearestCase{"CloserToTheLater", {10, 20, 30}, 26, 2},
                    NearestCase{"CloserToTheEarlier", {10, 20, 30}, 14, 0},
                    NearestCase{"TieGoesEarlier", {10, 20, 30}, 25, 1},
                    NearestCase{"UnevenGaps", {0, 100, 101, 500}, 300, 2}),
    [](const testing::TestParamInfo<NearestCase>& info) { return info.param.name; });

// Samples every 100 ms from t = 0, voltage = index; the ring wraps once `pushed` exceeds 10.
SampleHistory history(int pushed) {
    SampleHistory h(10);
    for (int i = 0; i < pushed; ++i) {
        PowerSample s;
        s.time = Timestamp(std::chrono::milliseconds(100 * i));
        s.voltage = i;
        h.push(s);
    }
    return h;
}

std::vector<double> voltages(std::span<const PowerSample> samples) {
    std::vector<double> out;
    for (const PowerSample& s : samples) out.push_back(s.voltage);
    return out;
}

struct SliceCase {
    const char* name;
    int pushed;
    TimeSpan span;
    bool neighbours;
    std::vector<double> expected;
};

class SliceTest : public testing::TestWithParam<SliceCase> {};

TEST_P(SliceTest, HoldsExactlyTheSamplesOfTheSpan) {
    const SliceCase& c = GetParam();
    const SampleHistory h = history(c.pushed);
    std::vector<PowerSample> scratch;
    EXPECT_EQ(voltages(sliceOf(h, indicesWithin(h, c.span, c.neighbours), scratch)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SliceTest,
    testing::Values(SliceCase{"EdgesIncluded", 8, {200, 500}, false, {2, 3, 4, 5}},
                    SliceCase{"BetweenSamples", 8, {250, 450}, false, {3, 4}},
                    SliceCase{"WithNeighbours", 8, {250, 450}, true, {2, 3, 4, 5}},
                    SliceCase{"NeighboursStopAtTheEnds", 8, {0, 700}, true, {0, 1, 2, 3, 4, 5, 6, 7}},
                    SliceCase{"NothingInAGap", 8, {210, 290}, false, {}},
                    SliceCase{"AcrossTheWrap", 14, {700, 1100}, false, {7, 8, 9, 10, 11}},
                    SliceCase{"InTheNewerRun", 14, {1100, 1300}, true, {10, 11, 12, 13}},
                    SliceCase{"InTheOlderRun", 14, {500, 700}, false, {5, 6, 7}},
                    SliceCase{"BeforeTheOldest", 14, {0, 300}, true, {4}}),
    [](const testing::TestParamInfo<SliceCase>& info) { return info.param.name; });

TEST(SpanSeries, ThinsOnlyWhatIsOverTheBudgetAndSpansTheView) {
    SampleHistory h(1000);
    for (int i = 0; i < 1000; ++i) {
        PowerSample s;
        s.time = Timestamp(std::chrono::milliseconds(100 * i));
        s.current = i == 500 ? 9 : 1;
        h.push(s);
    }
    std::vector<PowerSample> scratch;
    const TrendSeries few = spanSeries(h, {10000, 15000}, 600, Metric::current, scratch);
    EXPECT_EQ(few.samples.size(), 53u);  // 51 inside and a neighbour on each side
    EXPECT_EQ(few.samples.front().time, Timestamp(std::chrono::milliseconds(9900)));
    EXPECT_EQ(epochMillis(few.domainStart), 10000);
    EXPECT_EQ(epochMillis(few.domainEnd), 15000);

    const TrendSeries many = spanSeries(h, {0, 99900}, 20, Metric::current, scratch);
    EXPECT_LE(many.samples.size(), 20u);
    bool spike = false;
    for (const PowerSample& s : many.samples) spike = spike || s.current == 9;
    EXPECT_TRUE(spike);
}

}  // namespace
}  // namespace varek
