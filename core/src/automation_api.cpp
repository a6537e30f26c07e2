#include "varek/automation_api.hpp"

#include <cmath>
#include <string>

#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek {
namespace {

[[noreturn]] void refuse(std::string message) { throw VarekError::invalid(std::move(message)); }

}  // namespace

std::optional<std::uint16_t> centiOf(const Json& value, double maximum) {
    if (!value.is_number()) return std::nullopt;
    const double number = value.get<double>();
    if (!std::isfinite(number) || number < 0 || number > maximum) return std::nullopt;
    const double scaled = number * 100;
    const double whole = std::round(scaled);
    // Binary doubles miss most decimals by a few ulps; a third decimal misses by 0.1 at least.
    if (std::fabs(scaled - whole) > 1e-6) return std::nullopt;
    return static_cast<std::uint16_t>(whole);
}

std::uint16_t setpointField(std::string_view field, const Json& value, const SafetyCeilings& ceilings) {
    const bool voltage = field == "voltage_V";
    const double supplyMax = voltage ? Supply::voltageMax : Supply::currentMax;
    const auto centi = centiOf(value, supplyMax);
    if (!centi) {
        refuse(std::string(field) + " must be a number from 0 to " + (voltage ? "60" : "30") +
               " with at most two decimals");
    }
    const std::uint16_t ceiling = voltage ? ceilings.voltageCenti : ceilings.currentCenti;
    if (*centi > ceiling) {
        refuse(std::string(field) + " exceeds the ceiling of " + formatFixed2(ceiling / 100.0) +
               (voltage ? " V" : " A"));
    }
    return *centi;
}

SetpointRequest SetpointRequest::parse(std::string_view body, const SafetyCeilings& ceilings) {
    const Json object = Json::parse(body, nullptr, false);
    if (object.is_discarded()) refuse("the body is not valid JSON");
    if (!object.is_object()) refuse("the body must be a JSON object");
    SetpointRequest request;
    for (const auto& [key, value] : object.items()) {
        if (key == "voltage_V") {
            request.voltage = setpointField(key, value, ceilings);
        } else if (key == "current_limit_A") {
            request.current = setpointField(key, value, ceilings);
        } else {
            refuse("unknown field \"" + key + "\"");
        }
    }
    if (!request.voltage && !request.current) refuse("voltage_V or current_limit_A is required");
    return request;
}

Json sampleBody(const PowerSample& sample, const DeviceIdentity& identity) {
    return Json{
        {"ok", true},
        {"time", iso8601Millis(sample.time)},
        {"voltage_set_V", sample.voltageSet},
        {"current_limit_A", sample.currentSet},
        {"voltage_V", sample.voltage},
        {"current_A", sample.current},
        {"power_W", sample.power},
        {"input_voltage_V", sample.inputVoltage},
        {"temperature_C", sample.temperature},
        {"output_enabled", sample.outputEnabled},
        {"protection", sample.protection},
        {"protection_name", sample.protectionName()},
        {"mode", sample.mode},
        {"mode_name", sample.modeName()},
        {"capacity", sample.capacity},
        {"energy", sample.energy},
        {"model", identity.model},
        {"serial", identity.serial},
        {"firmware", identity.firmware},
        {"source_sha", platform::sourceSHA()},
    };
}

Json setpointsBody(Json statusBody, const PowerSample& confirmed) {
    statusBody["voltage_set_V"] = confirmed.voltageSet;
    statusBody["current_limit_A"] = confirmed.currentSet;
    statusBody["verified"] = true;
    return statusBody;
}

Json progressBody(const SequenceProgress& progress) {
    Json body{
        {"ok", true},
        {"name", progress.name},
        {"state", SequenceProgress::stateName(progress.state)},
        {"step", progress.step},
        {"steps", progress.steps},
        {"step_elapsed_s", std::round(progress.stepElapsed * 1000) / 1000},
    };
    if (progress.state == SequenceProgress::State::aborted) body["reason"] = progress.reason;
    return body;
}

ControlHTTPReply invalidRequest(std::string_view message) {
    return ControlHTTPReply(400, Json{{"ok", false}, {"error", "invalid_request"}, {"message", message}});
}

ControlHTTPReply sequenceRunning(const SequenceProgress& progress) {
    return ControlHTTPReply(409, Json{{"ok", false}, {"error", "sequence_running"}, {"name", progress.name}});
}

}  // namespace varek
