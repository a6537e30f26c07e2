#include "varek/sequence_profile.hpp"

#include <cmath>
#include <string>

#include "varek/automation_api.hpp"
#include "varek/error.hpp"

namespace varek {
namespace {

[[noreturn]] void refuse(std::string message) { throw VarekError::invalid(std::move(message)); }

struct ConditionKey {
    std::string_view key;
    StepCondition::Quantity quantity;
    bool below;
    double maximum;
};

constexpr ConditionKey conditionKeys[] = {
    {"current_below_A", StepCondition::Quantity::current, true, Supply::currentMax},
    {"current_above_A", StepCondition::Quantity::current, false, Supply::currentMax},
    {"voltage_below_V", StepCondition::Quantity::voltage, true, Supply::voltageMax},
    {"voltage_above_V", StepCondition::Quantity::voltage, false, Supply::voltageMax},
};

std::chrono::milliseconds duration(const std::string& where, const Json& value) {
    if (!value.is_number() || !(value.get<double>() >= 0) ||
        value.get<double>() > SequenceProfile::durationLimit) {
        refuse(where + " must be a number of seconds from 0 to 86400");
    }
    return std::chrono::milliseconds(std::llround(value.get<double>() * 1000));
}

StepCondition condition(const std::string& prefix, const Json& value) {
    const std::string shape =
        prefix + "until must be an object with one of current_below_A, current_above_A, voltage_below_V, "
                 "voltage_above_V";
    if (!value.is_object() || value.size() != 1) refuse(shape);
    const std::string key = value.begin().key();
    const Json& threshold = value.begin().value();
    for (const ConditionKey& candidate : conditionKeys) {
        if (candidate.key != key) continue;
        if (!threshold.is_number() || !(threshold.get<double>() >= 0) ||
            threshold.get<double>() > candidate.maximum) {
            refuse(prefix + "until." + key + " must be a number from 0 to " +
                   (candidate.maximum == Supply::voltageMax ? "60" : "30"));
        }
        return {candidate.quantity, candidate.below, threshold.get<double>()};
    }
    refuse(shape);
}

void checkStep(const std::string& prefix, const SequenceStep& step) {
    const bool setsValues = step.voltage || step.current;
    if (step.ramp.count() > 0 && !setsValues) refuse(prefix + "ramp_s needs voltage_V or current_limit_A");
    if (step.until && step.hold.count() == 0) refuse(prefix + "until needs hold_s > 0 as its time limit");
    if (!setsValues && !step.output && step.hold.count() == 0) {
        refuse(prefix + "sets nothing and holds for no time");
    }
}

SequenceStep step(std::size_t number, const Json& value, const SafetyCeilings& ceilings) {
    const std::string prefix = "step " + std::to_string(number) + ": ";
    if (!value.is_object()) refuse("step " + std::to_string(number) + " must be an object");
    SequenceStep step;
    for (const auto& [key, field] : value.items()) {
        try {
            if (key == "voltage_V") step.voltage = setpointField(key, field, ceilings);
            else if (key == "current_limit_A") step.current = setpointField(key, field, ceilings);
            else if (key == "ramp_s") step.ramp = duration(key, field);
            else if (key == "hold_s") step.hold = duration(key, field);
            else if (key == "until") step.until = condition("", field);
            else if (key == "output") {
                if (!field.is_boolean()) refuse("output must be true or false");
                step.output = field.get<bool>();
            } else {
                refuse("unknown field \"" + key + "\"");
            }
        } catch (const VarekError& error) {
            refuse(prefix + error.text());
        }
    }
    checkStep(prefix, step);
    return step;
}

}  // namespace

bool StepCondition::met(const PowerSample& sample) const noexcept {
    const double reading = quantity == Quantity::current ? sample.current : sample.voltage;
    return below ? reading < threshold : reading > threshold;
}

SequenceProfile SequenceProfile::parse(std::string_view text, const SafetyCeilings& ceilings) {
    if (text.size() > sizeLimit) refuse("the profile is larger than 4096 bytes");
    const Json object = Json::parse(text, nullptr, false);
    if (object.is_discarded()) refuse("the profile is not valid JSON");
    if (!object.is_object()) refuse("the profile must be a JSON object");
    for (const auto& [key, value] : object.items()) {
        if (key != "name" && key != "on_end" && key != "steps") refuse("unknown field \"" + key + "\"");
    }
    SequenceProfile profile;
    profile.ceilings = ceilings;
    const auto name = object.find("name");
    if (name == object.end() || !name->is_string() || name->get_ref<const std::string&>().empty() ||
        name->get_ref<const std::string&>().size() > nameLimit) {
        refuse("name must be a string of 1 to 100 bytes");
    }
    profile.name = name->get<std::string>();
    const auto onEnd = object.find("on_end");
    if (onEnd == object.end() || (*onEnd != "keep" && *onEnd != "off")) refuse("on_end must be \"keep\" or \"off\"");
    profile.offAtEnd = *onEnd == "off";
    const auto steps = object.find("steps");
    if (steps == object.end() || !steps->is_array() || steps->empty() || steps->size() > stepLimit) {
        refuse("steps must be an array of 1 to 100 steps");
    }
    for (std::size_t i = 0; i < steps->size(); ++i) profile.steps.push_back(step(i + 1, (*steps)[i], ceilings));
    return profile;
}

}  // namespace varek
