// Profile validation: a profile is refused whole, with a message naming the step and field.
#include "varek/sequence_profile.hpp"

#include <gtest/gtest.h>

#include "varek/error.hpp"
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
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "the profile is not valid JSON"},
        {"[1]", "the profile must be a JSON object"},
        {std::string(4097, ' '), "the profile is larger than 4096 bytes"},
        {R"({"on_end":"off","steps":[{"hold_s":1}]})", "name must be a string of 1 to 100 bytes"},
        {R"({"name":"","on_end":"off","steps":[{"hold_s":1}]})", "name must be a string of 1 to 100 bytes"},
        {R"({"name":"p","steps":[{"hold_s":1}]})", "on_end must be \"keep\" or \"off\""},
        {withSteps(ok, "\"Off\""), "on_end must be \"keep\" or \"off\""},
        {withSteps(""), "steps must be an array of 1 to 100 steps"},
        {R"({"name":"p","on_end":"off","steps":[{"hold_s":1}],"loop":true})", "unknown field \"loop\""},
        {withSteps(ok + "," + ok + ",3"), "step 3 must be an object"},
        {withSteps(ok + "," + ok + R"(,{"voltage_V":61})"),
         "step 3: voltage_V must be a number from 0 to 60 with at most two decimals"},
        {withSteps(ok + "," + ok + R"(,{"voltage_V":1.234})"),
         "step 3: voltage_V must be a number from 0 to 60 with at most two decimals"},
        {withSteps(ok + "," + ok + R"(,{"current_limit_A":"2"})"),
         "step 3: current_limit_A must be a number from 0 to 30 with at most two decimals"},
        {withSteps(ok + "," + ok + R"(,{"current_limit_A":-0.01})"),
         "step 3: current_limit_A must be a number from 0 to 30 with at most two decimals"},
        {withSteps(R"({"ramp_s":-1,"voltage_V":1})"), "step 1: ramp_s must be a number of seconds from 0 to 86400"},
        {withSteps(R"({"hold_s":86401})"), "step 1: hold_s must be a number of seconds from 0 to 86400"},
        {withSteps(R"({"ramp_s":2,"output":true})"), "step 1: ramp_s needs voltage_V or current_limit_A"},
        {withSteps(R"({"output":1})"), "step 1: output must be true or false"},
        {withSteps(R"({"volts":1})"), "step 1: unknown field \"volts\""},
        {withSteps(R"({})"), "step 1: sets nothing and holds for no time"},
        {withSteps(R"({"output":true,"until":{"current_below_A":1}})"),
         "step 1: until needs hold_s > 0 as its time limit"},
        {withSteps(R"({"hold_s":5,"until":{"current_below_A":1,"voltage_above_V":2}})"),
         "step 1: until must be an object with one of current_below_A, current_above_A, voltage_below_V, "
         "voltage_above_V"},
        {withSteps(R"({"hold_s":5,"until":{"power_below_W":1}})"),
         "step 1: until must be an object with one of current_below_A, current_above_A, voltage_below_V, "
         "voltage_above_V"},
        {withSteps(R"({"hold_s":5,"until":{"voltage_above_V":70}})"),
         "step 1: until.voltage_above_V must be a number from 0 to 60"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 120));
        test::expectVarekError([&] { SequenceProfile::parse(c.text); }, VarekError::invalid(c.message));
    }
}

TEST(SequenceProfile, CeilingsRefuseAtValidation) {
    const SafetyCeilings ceilings{1200, 500};
    const struct {
        std::string steps;
        std::string message;
    } cases[] = {
        {R"({"voltage_V":12,"current_limit_A":5})", ""},
        {R"({"hold_s":1},{"voltage_V":13})", "step 2: voltage_V exceeds the ceiling of 12.00 V"},
        {R"({"current_limit_A":5.01,"ramp_s":1})", "step 1: current_limit_A exceeds the ceiling of 5.00 A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        if (c.message.empty()) {
            EXPECT_NO_THROW(SequenceProfile::parse(withSteps(c.steps), ceilings));
        } else {
            test::expectVarekError([&] { SequenceProfile::parse(withSteps(c.steps), ceilings); },
                                   VarekError::invalid(c.message));
        }
    }
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
