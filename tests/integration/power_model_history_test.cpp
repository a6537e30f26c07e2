// The model's bounded sample history: order across the wrap, the views the chart and
// the CSV read, and the measured rate. Pure; no event loop.
#include <gtest/gtest.h>

#include <vector>

#include "model_files.hpp"
#include "power_model.hpp"
#include "sample_history.hpp"

namespace varek {
namespace {

using namespace std::chrono_literals;

const Timestamp base = Timestamp{} + std::chrono::seconds(1769847300);

// Sample `n` is taken at n × 100 ms and carries n as its voltage, so order is visible.
PowerSample numbered(int n, std::chrono::milliseconds spacing = 100ms) {
    PowerSample s;
    s.time = base + spacing * n;
    s.voltage = n;
    return s;
}

std::vector<int> numbersOf(std::span<const PowerSample> run) {
    std::vector<int> out;
    for (const auto& s : run) out.push_back(static_cast<int>(s.voltage));
    return out;
}

std::vector<int> inOrder(const SampleHistory& h) {
    std::vector<int> out;
    for (std::size_t i = 0; i < h.size(); ++i) out.push_back(static_cast<int>(h[i].voltage));
    return out;
}

struct WrapCase {
    const char* name;
    std::size_t capacity;
    int pushed;  // samples 0 .. pushed-1
    std::vector<int> expected;
    std::size_t olderRun;  // length of the first contiguous run
};

class SampleHistoryWrap : public testing::TestWithParam<WrapCase> {};

TEST_P(SampleHistoryWrap, KeepsTheNewestInTimeOrder) {
    const WrapCase& c = GetParam();
    SampleHistory h(c.capacity);
    for (int n = 0; n < c.pushed; ++n) h.push(numbered(n));
    EXPECT_EQ(h.size(), c.expected.size());
    EXPECT_EQ(inOrder(h), c.expected);
    const auto [older, newer] = h.runs();
    EXPECT_EQ(older.size(), c.olderRun);
    std::vector<int> joined = numbersOf(older);
    for (int n : numbersOf(newer)) joined.push_back(n);
    EXPECT_EQ(joined, c.expected);
    if (!c.expected.empty()) {
        EXPECT_EQ(h.front().voltage, c.expected.front());
        EXPECT_EQ(h.back().voltage, c.expected.back());
    }
    SampleHistory unwrapped(c.expected.size() + 1);
    for (int n : c.expected) unwrapped.push(numbered(n));
    EXPECT_EQ(samplesCsv(h), samplesCsv(unwrapped));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleHistoryWrap,
    testing::Values(WrapCase{"Empty", 4, 0, {}, 0}, WrapCase{"PartlyFilled", 4, 3, {0, 1, 2}, 3},
                    WrapCase{"ExactlyFull", 4, 4, {0, 1, 2, 3}, 4},
                    WrapCase{"OnePastFullDropsTheOldest", 4, 5, {1, 2, 3, 4}, 3},
                    WrapCase{"WrappedTwiceLandsOnTheStart", 4, 8, {4, 5, 6, 7}, 4},
                    WrapCase{"WrappedMidway", 4, 10, {6, 7, 8, 9}, 2},
                    WrapCase{"CapacityOne", 1, 3, {2}, 1}),
    [](const testing::TestParamInfo<WrapCase>& info) { return info.param.name; });

TEST(SampleHistory, ClearForgetsEverythingAndStartsOver) {
    SampleHistory h(3);
    for (int n = 0; n < 5; ++n) h.push(numbered(n));
    h.clear();
    EXPECT_TRUE(h.empty());
    h.push(numbered(9));
    EXPECT_EQ(inOrder(h), std::vector<int>{9});
    EXPECT_EQ(h.capacity(), 3u);
}

struct TailCase {
    const char* name;
    int pushed;  // into a history of 6
    int since;   // sample number the tail starts at
    std::vector<int> expected;
    bool copied;
};

class SampleHistoryTail : public testing::TestWithParam<TailCase> {};

TEST_P(SampleHistoryTail, IsTheTrailingRunInOnePiece) {
    const TailCase& c = GetParam();
    SampleHistory h(6);
    for (int n = 0; n < c.pushed; ++n) h.push(numbered(n));
    std::vector<PowerSample> scratch;
    const auto tail = h.tailSince(numbered(c.since).time, scratch);
    EXPECT_EQ(numbersOf(tail), c.expected);
    EXPECT_EQ(!tail.empty() && tail.data() == scratch.data(), c.copied);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleHistoryTail,
    testing::Values(TailCase{"Unwrapped", 5, 2, {2, 3, 4}, false},
                    TailCase{"WithinTheNewerRun", 9, 7, {7, 8}, false},
                    TailCase{"StraddlingTheWrap", 9, 4, {4, 5, 6, 7, 8}, true},
                    TailCase{"EverythingWhenSinceIsOlder", 9, 0, {3, 4, 5, 6, 7, 8}, true},
                    TailCase{"NothingNewerThanTheLast", 9, 20, {}, false}),
    [](const testing::TestParamInfo<TailCase>& info) { return info.param.name; });

struct RateCase {
    const char* name;
    std::size_t capacity;
    int pushed;
    std::chrono::milliseconds spacing;
    std::optional<double> expected;
};

class MeasuredRate : public testing::TestWithParam<RateCase> {};

TEST_P(MeasuredRate, CountsIntervalsOverTheNewestTwentyOne) {
    const RateCase& c = GetParam();
    SampleHistory h(c.capacity);
    for (int n = 0; n < c.pushed; ++n) h.push(numbered(n, c.spacing));
    EXPECT_EQ(measuredRate(h), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeasuredRate,
    testing::Values(RateCase{"TwentyOneSamplesATenthApartAreExactlyTenHertz", 100, 21, 100ms, 10.0},
                    RateCase{"OnlyTheNewestTwentyOneCount", 100, 60, 500ms, 2.0},
                    RateCase{"AcrossTheWrap", 30, 75, 200ms, 5.0},
                    RateCase{"OneSampleHasNoRate", 100, 1, 100ms, std::nullopt},
                    RateCase{"SimultaneousSamplesHaveNoRate", 100, 5, 0ms, std::nullopt}),
    [](const testing::TestParamInfo<RateCase>& info) { return info.param.name; });

}  // namespace
}  // namespace varek
