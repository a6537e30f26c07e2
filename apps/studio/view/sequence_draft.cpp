#include "sequence_draft.hpp"

#include <charconv>
#include <cmath>

#include "varek/http.hpp"

namespace varek {
namespace {

std::string shortest(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

std::string jsonString(std::string_view text) {
    return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

/// A cell as JSON: its number when the whole text is one, else the text itself.
std::string value(const std::string& cell) {
    double number = 0;
    const char* end = cell.data() + cell.size();
    const auto [stop, error] = std::from_chars(cell.data(), end, number);
    if (!cell.empty() && error == std::errc() && stop == end && std::isfinite(number)) return shortest(number);
    return jsonString(cell);
}

std::string stepLine(const StepDraft& step) {
    std::string line;
    const auto field = [&line](std::string_view key, const std::string& json) {
        line.append(line.empty() ? "{" : ", ").append(jsonString(key)).append(": ").append(json);
    };
    if (!step.voltage.empty()) field("voltage_V", value(step.voltage));
    if (!step.current.empty()) field("current_limit_A", value(step.current));
    if (!step.ramp.empty()) field("ramp_s", value(step.ramp));
    if (step.output != StepDraft::Output::unchanged) {
        field("output", step.output == StepDraft::Output::on ? "true" : "false");
    }
    if (!step.hold.empty()) field("hold_s", value(step.hold));
    if (step.until != StepDraft::Until::none) {
        field("until", "{" + jsonString(untilKey(step.until)) + ": " + value(step.threshold) + "}");
    }
    return line.empty() ? "{}" : line + "}";
}

/// A number or text cell of a file as the table shows it; none for other JSON.
std::optional<std::string> cellOf(const Json& value) {
    if (value.is_number()) return shortest(value.get<double>());
    if (value.is_string()) return value.get<std::string>();
    return std::nullopt;
}

std::optional<StepDraft::Until> untilNamed(std::string_view key) {
    for (auto until : {StepDraft::Until::currentBelow, StepDraft::Until::currentAbove, StepDraft::Until::voltageBelow,
                       StepDraft::Until::voltageAbove}) {
        if (untilKey(until) == key) return until;
    }
    return std::nullopt;
}

bool readField(StepDraft& step, const std::string& key, const Json& value) {
    if (key == "output") {
        if (!value.is_boolean()) return false;
        step.output = value.get<bool>() ? StepDraft::Output::on : StepDraft::Output::off;
        return true;
    }
    if (key == "until") {
        if (!value.is_object() || value.size() != 1) return false;
        const auto until = untilNamed(value.begin().key());
        const auto threshold = cellOf(value.begin().value());
        if (!until || !threshold) return false;
        step.until = *until;
        step.threshold = *threshold;
        return true;
    }
    std::string* cell = key == "voltage_V"         ? &step.voltage
                        : key == "current_limit_A" ? &step.current
                        : key == "ramp_s"          ? &step.ramp
                        : key == "hold_s"          ? &step.hold
                                                   : nullptr;
    const auto text = cellOf(value);
    if (!cell || !text) return false;
    *cell = *text;
    return true;
}

}  // namespace

std::string_view untilKey(StepDraft::Until until) {
    switch (until) {
    case StepDraft::Until::none: return {};
    case StepDraft::Until::currentBelow: return "current_below_A";
    case StepDraft::Until::currentAbove: return "current_above_A";
    case StepDraft::Until::voltageBelow: return "voltage_below_V";
    case StepDraft::Until::voltageAbove: return "voltage_above_V";
    }
    return {};
}

std::string ProfileDraft::text() const {
    std::string text = "{\n  \"name\": " + jsonString(name) + ",\n  \"on_end\": " + (offAtEnd ? "\"off\"" : "\"keep\"") +
                       ",\n  \"steps\": [";
    for (std::size_t i = 0; i < steps.size(); ++i) text += (i ? ",\n    " : "\n    ") + stepLine(steps[i]);
    return text + (steps.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::optional<ProfileDraft> ProfileDraft::read(std::string_view text) {
    const Json object = Json::parse(text, nullptr, false);
    if (!object.is_object()) return std::nullopt;
    ProfileDraft draft;
    for (const auto& [key, value] : object.items()) {
        if (key == "name" && value.is_string()) {
            draft.name = value.get<std::string>();
        } else if (key == "on_end" && (value == "keep" || value == "off")) {
            draft.offAtEnd = value == "off";
        } else if (key == "steps" && value.is_array()) {
            for (const Json& step : value) {
                if (!step.is_object()) return std::nullopt;
                StepDraft row;
                for (const auto& [field, cell] : step.items()) {
                    if (!readField(row, field, cell)) return std::nullopt;
                }
                draft.steps.push_back(std::move(row));
            }
        } else {
            return std::nullopt;
        }
    }
    return draft;
}

}  // namespace varek
