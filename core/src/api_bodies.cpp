#include "varek/api_bodies.hpp"

#include <cmath>

#include "varek/control_api_router.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek {

Json statusBody(const PowerSample& sample, const DeviceIdentity& identity, bool verified) {
    return Json{
        {"ok", true},
        {"connected", true},
        {"verified", verified},
        {"output_enabled", sample.outputEnabled},
        {"voltage_V", sample.voltage},
        {"current_A", sample.current},
        {"model", identity.model},
        {"firmware", identity.firmware},
        {"source_sha", platform::sourceSHA()},
        {"sample_at", iso8601(sample.time)},
    };
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

ControlHTTPReply noSequence() { return ControlApiRouter::errorReply(404, "no_sequence"); }

ControlHTTPReply notConfirmed(const std::string& message) {
    return ControlHTTPReply(502, Json{{"ok", false},
                                      {"verified", false},
                                      {"error", "device_confirmation_failed"},
                                      {"message", message}});
}

ControlHTTPReply unavailable() {
    return ControlHTTPReply(503, Json{{"ok", false}, {"connected", false}, {"error", "power_supply_unavailable"}});
}

ControlHTTPReply unverified(std::string_view error) {
    return ControlHTTPReply(503, Json{{"ok", false}, {"error", error}, {"verified", false}});
}

}  // namespace varek
