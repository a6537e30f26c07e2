#include "headless_api.hpp"

#include <exception>
#include <string>

#include "varek/control_server.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

ControlHTTPReply errorReply(int status, const char* error) {
    return ControlHTTPReply(status, Json{{"ok", false}, {"error", error}});
}

ControlHTTPReply notConfirmed(const std::string& message) {
    return ControlHTTPReply(502, Json{{"ok", false},
                                      {"verified", false},
                                      {"error", "device_confirmation_failed"},
                                      {"message", message}});
}

}  // namespace

HeadlessAPI::HeadlessAPI(SerialSession& session, DeviceIdentity identity)
    : session_(session), identity_(identity) {}

ControlHTTPReply HeadlessAPI::handle(const ControlHTTPRequest& request) {
    const std::string& path = request.path;
    if (path == "/v1/status") {
        if (request.method != "GET") return errorReply(405, "use_GET");
        return status();
    }
    if (path == "/v1/output/on" || path == "/v1/output/off") {
        if (request.method != "POST") return errorReply(405, "use_POST");
        const bool enabled = path == "/v1/output/on";
        return outputQueue_.perform(enabled, [this](bool state) { return switchOutput(state); });
    }
    return errorReply(404, "not_found");
}

ControlHTTPReply HeadlessAPI::response(const PowerSample& sample, bool verified) const {
    return ControlHTTPReply(200, Json{
        {"ok", true},
        {"connected", true},
        {"verified", verified},
        {"output_enabled", sample.outputEnabled},
        {"voltage_V", sample.voltage},
        {"current_A", sample.current},
        {"model", identity_.model},
        {"firmware", identity_.firmware},
        {"source_sha", ControlServer::sourceSHA()},
        {"sample_at", iso8601(sample.time)},
    });
}

ControlHTTPReply HeadlessAPI::status() {
    try {
        return response(session_.sample(), false);
    } catch (...) {
        // The failure's text stays on the server: clients only learn that the supply is away.
        return ControlHTTPReply(503, Json{{"ok", false},
                                          {"connected", false},
                                          {"error", "power_supply_unavailable"}});
    }
}

// Runs inside the output queue, which requires an operation that never throws.
ControlHTTPReply HeadlessAPI::switchOutput(bool enabled) {
    try {
        const PowerSample sample = session_.setOutput(enabled);
        if (sample.outputEnabled != enabled) return notConfirmed(VarekError::readback().description());
        return response(sample, true);
    } catch (const std::exception& error) {
        return notConfirmed(error.what());
    } catch (...) {
        return notConfirmed("unknown failure");
    }
}

}  // namespace varek
