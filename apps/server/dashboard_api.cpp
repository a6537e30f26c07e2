#include "dashboard_api.hpp"

#include <chrono>
#include <cmath>
#include <string>

#include "varek/automation_api.hpp"
#include "varek/control_api_router.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

ControlHTTPReply unavailable() {
    return ControlHTTPReply(503, Json{{"ok", false}, {"connected", false}, {"error", "power_supply_unavailable"}});
}

double unixSeconds(Timestamp time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::string_view linkName(LinkSupervisor::State::Kind kind) {
    switch (kind) {
        case LinkSupervisor::State::Kind::lost: return "lost";
        case LinkSupervisor::State::Kind::refused: return "refused";
        default: return "connected";
    }
}

Json linkBody(const LinkSupervisor::State& link) {
    const bool connected = link.kind == LinkSupervisor::State::Kind::connected;
    return Json{
        {"state", linkName(link.kind)},
        {"since", connected ? Json(nullptr) : Json(iso8601(link.since))},
        {"reason", connected ? Json(nullptr) : Json(link.reason)},
        {"found_serial", link.found ? Json(link.found->serial) : Json(nullptr)},
    };
}

Json recordingBody(const Service::State& state) {
    if (!state.recordDirectory) return nullptr;
    return Json{
        {"directory", state.recordDirectory->string()},
        {"file", state.recordFile ? Json(state.recordFile->string()) : Json(nullptr)},
        {"paused", state.recordPaused},
        {"reason", state.recordPaused ? Json(state.recordReason) : Json(nullptr)},
    };
}

}  // namespace

DashboardAPI::DashboardAPI(Service& service, const ServerAutomation& automation, DeviceIdentity identity,
                           SafetyCeilings ceilings)
    : service_(service), automation_(automation), identity_(identity), ceilings_(ceilings) {}

bool DashboardAPI::handle(const ControlHTTPRequest& request, const ControlResponder& responder) {
    const std::string& path = request.path;
    if (path != "/v1/latest" && path != "/v1/history" && path != "/v1/server") return false;
    if (request.method != "GET") {
        responder.reply(ControlApiRouter::errorReply(405, "use_GET"));
        return true;
    }
    if (path == "/v1/latest") {
        service_.watched();
        responder.reply(latest());
    } else if (path == "/v1/history") {
        responder.reply(ControlHTTPReply(200, history()));
    } else {
        responder.reply(ControlHTTPReply(200, server()));
    }
    return true;
}

ControlHTTPReply DashboardAPI::latest() const {
    const auto latest = service_.latest();
    if (!latest || !latest->fresh) return unavailable();
    Json body = sampleBody(latest->sample, identity_);
    body["age_s"] = latest->ageSeconds;
    return ControlHTTPReply(200, body);
}

Json DashboardAPI::history() const {
    Json times = Json::array(), voltages = Json::array(), currents = Json::array(), powers = Json::array();
    for (const auto& point : service_.history()) {
        // Milliseconds are all a chart can show; fewer digits keep an hour's body small.
        times.push_back(std::round(unixSeconds(point.time) * 1000) / 1000);
        voltages.push_back(point.voltage);
        currents.push_back(point.current);
        powers.push_back(point.power);
    }
    return Json{{"ok", true}, {"time_s", times}, {"voltage_V", voltages}, {"current_A", currents}, {"power_W", powers}};
}

Json DashboardAPI::server() const {
    const Service::State state = service_.state();
    const auto progress = automation_.progress();
    return Json{
        {"ok", true},
        {"link", linkBody(state.link)},
        {"reconnects", state.reconnects},
        {"poll_hz", state.pollHertz ? Json(*state.pollHertz) : Json(nullptr)},
        {"on_demand", state.onDemand},
        {"recording", recordingBody(state)},
        {"ceilings", {{"voltage_V", ceilings_.voltage()}, {"current_limit_A", ceilings_.current()}}},
        {"sequence", progress ? progressBody(*progress) : Json(nullptr)},
        {"model", identity_.model},
        {"serial", identity_.serial},
        {"firmware", identity_.firmware},
    };
}

}  // namespace varek
