// Profile validation: a profile is refused whole, with a message naming the step and field;
// and the plan a preview draws from a valid one.
#include "varek/sequence_profile.hpp"

#include <gtest/gtest.h>

#include "varek/error.hpp"
#include "varek/sequence_plan.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using std::chrono::milliseconds;

std::string withSteps(const std::string& steps, const std::string& onEnd = "\"off\"") {
    return R"({"name":"p","on_end":)" + onEnd + R"(,"steps":[)" + steps + "]}";
}

TEST(SequenceProfile, AValidProfileBecomesTypedSteps) {
    const auto profile = SequenceProfile::parse(withSteps(
        R"({"voltage_V":12.5,"current_limit_A":2,"ramp_s":1.5,"output":true,"hold_s":3},)"
        R"({"hold_s":600,"until":{"current_below_A":0.1}},{"output":false})"));
    EXPECT_EQ(profile.name, "p");
    EXPECT_TRUE(profile.offAtEnd);
    ASSERT_EQ(profile.steps.size(), 3u);
    EXPECT_EQ(profile.steps[0], (SequenceStep{1250, 200, milliseconds(1500), true, milliseconds(3000), {}}));
    EXPECT_EQ(profile.steps[1].until, (StepCondition{StepCondition::Quantity::current, true, 0.1}));
    EXPECT_EQ(profile.steps[1].hold, milliseconds(600000));
    EXPECT_EQ(profile.steps[2], (SequenceStep{{}, {}, milliseconds(0), false, milliseconds(0), {}}));
    EXPECT_FALSE(SequenceProfile::parse(withSteps(R"({"hold_s":1})", "\"keep\"")).offAtEnd);
}

TEST(SequenceProfile, RefusalsNameTheStepAndTheField) {
    const std::string ok = R"({"hold_s":1})";
    const std::string until =
        "until must be an object with one of current_below_A, current_above_A, voltage_below_V, voltage_above_V";
    constexpr std::optional<std::size_t> none;
    const struct {
        std::string text;
        std::string message;
        std::optional<std::size_t> step;  // where an editor marks it
        std::string field;
    } cases[] = {
        {"", "the profile is not valid JSON", none, ""},
        {"[1]", "the profile must be a JSON object", none, ""},
        {std::string(4097, ' '), "the profile is larger than 4096 bytes", none, ""},
        {R"({"on_end":"off","steps":[{"hold_s":1}]})", "name must be a string of 1 to 100 bytes", none, "name"},
        {R"({"name":"","on_end":"off","steps":[{"hold_s":1}]})", "name must be a string of 1 to 100 bytes", none, "name"},
        {R"({"name":"p","steps":[{"hold_s":1}]})", "on_end must be \"keep\" or \"off\"", none, "on_end"},
        {withSteps(ok, "\"Off\""), "on_end must be \"keep\" or \"off\"", none, "on_end"},
        {withSteps(""), "steps must be an array of 1 to 100 steps", none, "steps"},
        {R"({"name":"p","on_end":"off","steps":[{"hold_s":1}],"loop":true})", "unknown field \"loop\"", none, "loop"},
        {withSteps(ok + "," + ok + ",3"), "step 3 must be an object", 2, ""},
        {withSteps(ok + "," + ok + R"(,{"voltage_V":61})"),
         "step 3: voltage_V must be a number from 0 to 60 with at most two decimals", 2, "voltage_V"},
        {withSteps(ok + "," + ok + R"(,{"voltage_V":1.234})"),
         "step 3: voltage_V must be a number from 0 to 60 with at most two decimals", 2, "voltage_V"},
        {withSteps(ok + "," + ok + R"(,{"current_limit_A":"2"})"),
         "step 3: current_limit_A must be a number from 0 to 30 with at most two decimals", 2, "current_limit_A"},
        {withSteps(ok + "," + ok + R"(,{"current_limit_A":-0.01})"),
         "step 3: current_limit_A must be a number from 0 to 30 with at most two decimals", 2, "current_limit_A"},
        {withSteps(R"({"ramp_s":-1,"voltage_V":1})"), "step 1: ramp_s must be a number of seconds from 0 to 86400", 0,
         "ramp_s"},
        {withSteps(R"({"hold_s":86401})"), "step 1: hold_s must be a number of seconds from 0 to 86400", 0, "hold_s"},
        {withSteps(R"({"ramp_s":2,"output":true})"), "step 1: ramp_s needs voltage_V or current_limit_A", 0, "ramp_s"},
        {withSteps(R"({"output":1})"), "step 1: output must be true or false", 0, "output"},
        {withSteps(R"({"volts":1})"), "step 1: unknown field \"volts\"", 0, "volts"},
        {withSteps(R"({})"), "step 1: sets nothing and holds for no time", 0, "hold_s"},
        {withSteps(R"({"output":true,"until":{"current_below_A":1}})"),
         "step 1: until needs hold_s > 0 as its time limit", 0, "until"},
        {withSteps(R"({"hold_s":5,"until":{"current_below_A":1,"voltage_above_V":2}})"), "step 1: " + until, 0,
         "until"},
        {withSteps(R"({"hold_s":5,"until":{"power_below_W":1}})"), "step 1: " + until, 0, "until"},
        {withSteps(ok + R"(,{"hold_s":5,"until":{"voltage_above_V":70}})"),
         "step 2: until.voltage_above_V must be a number from 0 to 60", 1, "until.voltage_above_V"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        test::expectVarekError([&] { SequenceProfile::parse(c.text); }, VarekError::invalid(c.message));
        const ProfileCheck checked = SequenceProfile::check(c.text);
        ASSERT_TRUE(std::holds_alternative<ProfileRefusal>(checked));
        EXPECT_EQ(std::get<ProfileRefusal>(checked), (ProfileRefusal{c.message, c.step, c.field}));
    }
}

TEST(SequenceProfile, CeilingsRefuseAtValidation) {
    const SafetyCeilings ceilings{1200, 500};
    const struct {
        std::string steps;
        ProfileRefusal refusal;
    } cases[] = {
        {R"({"voltage_V":12,"current_limit_A":5})", {}},
        {R"({"hold_s":1},{"voltage_V":13})", {"step 2: voltage_V exceeds the ceiling of 12.00 V", 1, "voltage_V"}},
        {R"({"current_limit_A":5.01,"ramp_s":1})",
         {"step 1: current_limit_A exceeds the ceiling of 5.00 A", 0, "current_limit_A"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        const ProfileCheck checked = SequenceProfile::check(withSteps(c.steps), ceilings);
        if (c.refusal.message.empty()) {
            EXPECT_NO_THROW(SequenceProfile::parse(withSteps(c.steps), ceilings));
            EXPECT_TRUE(std::holds_alternative<SequenceProfile>(checked));
        } else {
            test::expectVarekError([&] { SequenceProfile::parse(withSteps(c.steps), ceilings); },
                                   VarekError::invalid(c.refusal.message));
            ASSERT_TRUE(std::holds_alternative<ProfileRefusal>(checked));
            EXPECT_EQ(std::get<ProfileRefusal>(checked), c.refusal);
        }
    }
}

TEST(SequencePlan, RampsAreSlopesJumpsAreVerticalAndUntilStepsRunToTheirLimit) {
    using P = SequencePlan::Point;
    using S = SequencePlan::Step;
    const struct {
        std::string steps;
        std::vector<P> points;
        std::vector<S> placed;
    } cases[] = {
        // The burn-in shape: a jump, a ramp and hold, a condition, a ramp down.
        {R"({"voltage_V":12,"current_limit_A":2,"output":true},{"voltage_V":13.2,"ramp_s":10,"hold_s":600},)"
         R"({"hold_s":5,"until":{"current_below_A":0.1}},{"voltage_V":0,"ramp_s":30})",
         {{0, 5, 1}, {0, 12, 2}, {10, 13.2, 2}, {610, 13.2, 2}, {615, 13.2, 2}, {645, 0, 2}},
         {{0, 0, 0, false}, {0, 10, 610, false}, {610, 610, 615, true}, {615, 645, 645, false}}},
        // A ramp of one quantity keeps the other; a step setting nothing holds what is in force.
        {R"({"current_limit_A":3,"ramp_s":2,"hold_s":1},{"output":false,"hold_s":0.5})",
         {{0, 5, 1}, {2, 5, 3}, {3, 5, 3}, {3.5, 5, 3}},
         {{0, 2, 3, false}, {3, 3, 3.5, false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        const SequencePlan plan = SequencePlan::of(SequenceProfile::parse(withSteps(c.steps)), 5, 1);
        ASSERT_EQ(plan.points.size(), c.points.size());
        for (std::size_t i = 0; i < c.points.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_DOUBLE_EQ(plan.points[i].time, c.points[i].time);
            EXPECT_DOUBLE_EQ(plan.points[i].voltage, c.points[i].voltage);
            EXPECT_DOUBLE_EQ(plan.points[i].current, c.points[i].current);
        }
        ASSERT_EQ(plan.steps.size(), c.placed.size());
        for (std::size_t i = 0; i < c.placed.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_DOUBLE_EQ(plan.steps[i].start, c.placed[i].start);
            EXPECT_DOUBLE_EQ(plan.steps[i].rampEnd, c.placed[i].rampEnd);
            EXPECT_DOUBLE_EQ(plan.steps[i].end, c.placed[i].end);
            EXPECT_EQ(plan.steps[i].until, c.placed[i].until);
        }
        EXPECT_DOUBLE_EQ(plan.total, c.points.back().time);
    }
    // Progress: a step counts at most to its planned end (an overrun never passes it).
    const SequencePlan plan = SequencePlan::of(SequenceProfile::parse(withSteps(cases[0].steps)));
    EXPECT_DOUBLE_EQ(plan.elapsedAt(1, 5), 5);
    EXPECT_DOUBLE_EQ(plan.elapsedAt(2, 100), 615);
    EXPECT_DOUBLE_EQ(plan.elapsedAt(4, 0), 645);
}

TEST(StepCondition, ThresholdsAreStrict) {
    PowerSample sample;
    sample.current = 1.0;
    sample.voltage = 5.0;
    using Q = StepCondition::Quantity;
    EXPECT_FALSE((StepCondition{Q::current, true, 1.0}.met(sample)));
    EXPECT_TRUE((StepCondition{Q::current, true, 1.01}.met(sample)));
    EXPECT_TRUE((StepCondition{Q::voltage, false, 4.99}.met(sample)));
    EXPECT_FALSE((StepCondition{Q::voltage, false, 5.0}.met(sample)));
}

}  // namespace
}  // namespace varek
