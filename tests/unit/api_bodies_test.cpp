// Setpoint requests refused with their message, a ceiling's refusals, the sample
// body's exact keys, the progress body.
#include "varek/api_bodies.hpp"
#include "varek/setpoints.hpp"

#include <gtest/gtest.h>

#include <set>

#include "varek/error.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

TEST(SetpointRequest, AcceptsEitherOrBothInHundredths) {
    const struct {
        const char* body;
        std::optional<std::uint16_t> voltage;
        std::optional<std::uint16_t> current;
    } cases[] = {
        {R"({"voltage_V":12.5})", 1250, std::nullopt},
        {R"({"current_limit_A":0.29})", std::nullopt, 29},
        {R"({"voltage_V":60,"current_limit_A":30.00})", 6000, 3000},
        {R"( {"voltage_V":0} )", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto request = SetpointRequest::parse(c.body, {});
        EXPECT_EQ(request.voltage, c.voltage);
        EXPECT_EQ(request.current, c.current);
    }
}

TEST(SetpointRequest, RefusalsCarryTheClientMessage) {
    const std::string voltageRange = "voltage_V must be a number from 0 to 60 with at most two decimals";
    const std::string currentRange = "current_limit_A must be a number from 0 to 30 with at most two decimals";
    const struct {
        const char* body;
        std::string message;
    } cases[] = {
        {"", "the body is not valid JSON"},
        {"{\"voltage_V\":1", "the body is not valid JSON"},
        {"[12]", "the body must be a JSON object"},
        {"{}", "voltage_V or current_limit_A is required"},
        {R"({"voltage_V":1,"output":true})", "unknown field \"output\""},
        {R"({"voltage_V":"12"})", voltageRange},
        {R"({"voltage_V":true})", voltageRange},
        {R"({"voltage_V":null})", voltageRange},
        {R"({"voltage_V":60.01})", voltageRange},
        {R"({"voltage_V":-1})", voltageRange},
        {R"({"voltage_V":1.005})", voltageRange},
        {R"({"current_limit_A":30.01})", currentRange},
        {R"({"current_limit_A":1e400})", "the body is not valid JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        test::expectVarekError([&] { SetpointRequest::parse(c.body, {}); }, VarekError::invalid(c.message));
    }
    const SafetyCeilings ceilings{1200, 500};
    test::expectVarekError([&] { SetpointRequest::parse(R"({"voltage_V":12.01})", ceilings); },
                           VarekError::invalid("voltage_V exceeds the ceiling of 12.00 V"));
    test::expectVarekError([&] { SetpointRequest::parse(R"({"current_limit_A":6})", ceilings); },
                           VarekError::invalid("current_limit_A exceeds the ceiling of 5.00 A"));
    EXPECT_EQ(SetpointRequest::parse(R"({"voltage_V":12,"current_limit_A":5})", ceilings).voltage, 1200);
}

TEST(CeilingBreach, NamesTheValueAndTheCeilingForClientsAndTheWindow) {
    const SafetyCeilings ceilings{1200, 500};
    const struct {
        std::uint16_t voltage, current;
        bool presentVoltage, presentCurrent;
        const char *message, *alert;
    } cases[] = {
        {1201, 0, false, false, "voltage_V 12.01 V exceeds the ceiling of 12.00 V", "电压设定超过安全上限 12.00 V。"},
        {0, 600, false, false, "current_limit_A 6.00 A exceeds the ceiling of 5.00 A", "电流设定超过安全上限 5.00 A。"},
        {3000, 100, true, false, "the supply's present voltage setpoint 30.00 V is above the ceiling of 12.00 V; set it as well",
         "电源当前的电压设定 30.00 V 超过安全上限 12.00 V，请一并设定。"},
        {100, 2000, false, true, "the supply's present current limit 20.00 A is above the ceiling of 5.00 A; set it as well",
         "电源当前的电流设定 20.00 A 超过安全上限 5.00 A，请一并设定。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto breach = ceilings.breach(c.voltage, c.current, c.presentVoltage, c.presentCurrent);
        ASSERT_TRUE(breach);
        EXPECT_EQ(breach->message(), c.message);
        EXPECT_EQ(breach->alert(), c.alert);
    }
    EXPECT_FALSE(ceilings.breach(1200, 500));
}

TEST(AutomationBodies, SampleHasExactlyItsKeys) {
    PowerSample sample;
    sample.time = Timestamp(std::chrono::milliseconds(1765000000123));
    sample.voltageSet = 12.5;
    sample.protection = 1;
    const Json body = sampleBody(sample, DeviceIdentity{60301, 70000, 1.23});
    std::set<std::string> keys;
    for (const auto& item : body.items()) keys.insert(item.key());
    EXPECT_EQ(keys, (std::set<std::string>{"ok", "time", "voltage_set_V", "current_limit_A", "voltage_V",
                                           "current_A", "power_W", "input_voltage_V", "temperature_C",
                                           "output_enabled", "protection", "protection_name", "mode",
                                           "mode_name", "capacity", "energy", "model", "serial", "firmware",
                                           "source_sha"}));
    EXPECT_EQ(body["time"], "2025-12-06T05:46:40.123Z");
    EXPECT_EQ(body["serial"], 70000);
    EXPECT_TRUE(body["serial"].is_number_integer());
    EXPECT_EQ(body["protection_name"], "过压保护");
}

TEST(AutomationBodies, ProgressCarriesAReasonOnlyWhenAborted) {
    SequenceProgress progress{"burn-in", SequenceProgress::State::running, 2, 3, 1.23456, ""};
    EXPECT_EQ(apiJson(progressBody(progress)),
              R"({"name":"burn-in","ok":true,"state":"running","step":2,"step_elapsed_s":1.235,"steps":3})");
    progress.state = SequenceProgress::State::aborted;
    progress.reason = "x";
    EXPECT_EQ(progressBody(progress)["reason"], "x");
    EXPECT_EQ(setpointsBody(Json{{"ok", true}, {"verified", false}}, PowerSample{})["verified"], true);
}

}  // namespace
}  // namespace varek
