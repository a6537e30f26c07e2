#include "varek/sequence_profile.hpp"

#include <cmath>
#include <string>

#include "varek/setpoints.hpp"
#include "varek/error.hpp"

namespace varek {
namespace {

/// Thrown inside validation; `parse` turns it into VarekError::invalid, `check` returns it.
struct Refused {
    ProfileRefusal refusal;
};

[[noreturn]] void refuse(std::string message, std::string field = {}) {
    throw Refused{{std::move(message), std::nullopt, std::move(field)}};
}

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
        refuse(where + " must be a number of seconds from 0 to 86400", where);
    }
    return std::chrono::milliseconds(std::llround(value.get<double>() * 1000));
}

StepCondition condition(const Json& value) {
    const std::string shape =
        "until must be an object with one of current_below_A, current_above_A, voltage_below_V, voltage_above_V";
    if (!value.is_object() || value.size() != 1) refuse(shape, "until");
    const std::string key = value.begin().key();
    const Json& threshold = value.begin().value();
    for (const ConditionKey& candidate : conditionKeys) {
        if (candidate.key != key) continue;
        if (!threshold.is_number() || !(threshold.get<double>() >= 0) ||
            threshold.get<double>() > candidate.maximum) {
            refuse("until." + key + " must be a number from 0 to " +
                       Supply::wholeLimit(candidate.maximum == Supply::voltageMax),
                   "until." + key);
        }
        return {candidate.quantity, candidate.below, threshold.get<double>()};
    }
    refuse(shape, "until");
}

void checkStep(const SequenceStep& step) {
    const bool setsValues = step.voltage || step.current;
    if (step.ramp.count() > 0 && !setsValues) refuse("ramp_s needs voltage_V or current_limit_A", "ramp_s");
    if (step.until && step.hold.count() == 0) refuse("until needs hold_s > 0 as its time limit", "until");
    // The hold is the one field that could make such a step mean something.
    if (!setsValues && !step.output && step.hold.count() == 0) refuse("sets nothing and holds for no time", "hold_s");
}

SequenceStep stepFields(const Json& value, const SafetyCeilings& ceilings) {
    SequenceStep step;
    for (const auto& [key, field] : value.items()) {
        if (key == "voltage_V" || key == "current_limit_A") {
            try {
                (key == "voltage_V" ? step.voltage : step.current) = setpointField(key, field, ceilings);
            } catch (const VarekError& error) {
                refuse(error.text(), key);
            }
        } else if (key == "ramp_s") {
            step.ramp = duration(key, field);
        } else if (key == "hold_s") {
            step.hold = duration(key, field);
        } else if (key == "until") {
            step.until = condition(field);
        } else if (key == "output") {
            if (!field.is_boolean()) refuse("output must be true or false", key);
            step.output = field.get<bool>();
        } else {
            refuse("unknown field \"" + key + "\"", key);
        }
    }
    checkStep(step);
    return step;
}

/// Step `index` (from 0); its refusals carry "step N: " and the index.
SequenceStep step(std::size_t index, const Json& value, const SafetyCeilings& ceilings) {
    const std::string number = "step " + std::to_string(index + 1);
    try {
        if (!value.is_object()) refuse(number + " must be an object");
        return stepFields(value, ceilings);
    } catch (Refused& refused) {
        if (!refused.refusal.field.empty()) refused.refusal.message = number + ": " + refused.refusal.message;
        refused.refusal.step = index;
        throw;
    }
}

SequenceProfile build(std::string_view text, const SafetyCeilings& ceilings) {
    if (text.size() > SequenceProfile::sizeLimit) refuse("the profile is larger than 4096 bytes");
    const Json object = Json::parse(text, nullptr, false);
    if (object.is_discarded()) refuse("the profile is not valid JSON");
    if (!object.is_object()) refuse("the profile must be a JSON object");
    for (const auto& [key, value] : object.items()) {
        if (key != "name" && key != "on_end" && key != "steps") refuse("unknown field \"" + key + "\"", key);
    }
    SequenceProfile profile;
    profile.ceilings = ceilings;
    const auto name = object.find("name");
    if (name == object.end() || !name->is_string() || name->get_ref<const std::string&>().empty() ||
        name->get_ref<const std::string&>().size() > SequenceProfile::nameLimit) {
        refuse("name must be a string of 1 to 100 bytes", "name");
    }
    profile.name = name->get<std::string>();
    const auto onEnd = object.find("on_end");
    if (onEnd == object.end() || (*onEnd != "keep" && *onEnd != "off")) {
        refuse("on_end must be \"keep\" or \"off\"", "on_end");
    }
    profile.offAtEnd = *onEnd == "off";
    const auto steps = object.find("steps");
    if (steps == object.end() || !steps->is_array() || steps->empty() ||
        steps->size() > SequenceProfile::stepLimit) {
        refuse("steps must be an array of 1 to 100 steps", "steps");
    }
    for (std::size_t i = 0; i < steps->size(); ++i) profile.steps.push_back(step(i, (*steps)[i], ceilings));
    return profile;
}

}  // namespace

bool StepCondition::met(const PowerSample& sample) const noexcept {
    const double reading = quantity == Quantity::current ? sample.current : sample.voltage;
    return below ? reading < threshold : reading > threshold;
}

SequenceProfile SequenceProfile::parse(std::string_view text, const SafetyCeilings& ceilings) {
    try {
        return build(text, ceilings);
    } catch (const Refused& refused) {
        throw VarekError::invalid(refused.refusal.message);
    }
}

ProfileCheck SequenceProfile::check(std::string_view text, const SafetyCeilings& ceilings) {
    try {
        return build(text, ceilings);
    } catch (Refused& refused) {
        return std::move(refused.refusal);
    }
}

}  // namespace varek
