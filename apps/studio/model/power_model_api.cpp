// The HTTP control API the application serves while it runs.
#include "power_model.hpp"
#include "power_model_bridge.hpp"
#include "power_model_work.hpp"
#include "varek/control_server.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

ControlHTTPReply failure(int status, const char* error) { return ControlHTTPReply(status, {{"ok", false}, {"error", error}}); }

ControlHTTPReply unverified(int status, const char* error) {
    return ControlHTTPReply(status, {{"ok", false}, {"error", error}, {"verified", false}});
}

ControlHTTPReply unconfirmed(const VarekError& error) {
    return ControlHTTPReply(502, {{"ok", false},
                                  {"error", "device_confirmation_failed"},
                                  {"message", error.description()},
                                  {"verified", false}});
}

// The queued operation's answer when the model went away under it.
ControlHTTPReply modelGone() { return ControlHTTPReply(503, {{"ok", false}, {"verified", false}}); }

// The status object of the application's API: the sample's keys only while it is live.
Json apiStatus(const PowerModel& model) {
    Json status = {{"ok", true},
                   {"connected", model.connected()},
                   {"recovering", model.recovering()},
                   {"source_sha", platform::sourceSHA()}};
    if (const auto& identity = model.identity()) {
        status["model"] = identity->model;
        status["firmware"] = identity->firmware;
    }
    const auto& latest = model.latest();
    if (model.connected() && !model.recovering() && latest) {
        status["output_enabled"] = latest->outputEnabled;
        status["voltage_V"] = latest->voltage;
        status["current_A"] = latest->current;
        status["sample_at"] = iso8601(latest->time);
    }
    return status;
}

}  // namespace

void PowerModel::startControlServer() {
    const std::filesystem::path support = options_.supportDirectory.empty()
                                              ? platform::applicationSupportDirectory()
                                              : options_.supportDirectory;
    try {
        server_ = std::make_unique<ControlServer>(
            options_.httpPort, [bridge = bridge_](const ControlHTTPRequest& request) { return bridge->handle(request); },
            support);
    } catch (const VarekError& e) {
        setApiState(QStringLiteral("API启动失败：") + QString::fromStdString(e.description()));
        return;
    } catch (const std::exception& e) {
        setApiState(QStringLiteral("API启动失败：") + QString::fromStdString(e.what()));
        return;
    }
    apiTokenPath_ = QString::fromStdString(server_->tokenPath().string());
    emit changed(Change::apiTokenPath);
    try {
        server_->start([bridge = bridge_](const std::string& line) {
            bridge->post([state = QString::fromStdString(line)](PowerModel& model) { model.setApiState(state); });
        });
    } catch (const VarekError& e) {
        setApiState(QStringLiteral("API启动失败：") + QString::fromStdString(e.description()));
    } catch (const std::exception& e) {
        setApiState(QStringLiteral("API启动失败：") + QString::fromStdString(e.what()));
    }
}

ControlHTTPReply PowerModel::ApiBridge::handle(const ControlHTTPRequest& request) {
    try {
        const auto route = onGui<ApiRoute>([request](PowerModel& model) { return model.routeAPI(request); });
        if (!route) return failure(503, "application_unavailable");
        if (route->reply) return *route->reply;
        const std::int64_t generation = route->generation;
        // perform blocks until the reply exists, so it runs here, never on the GUI thread.
        return outputQueue.perform(route->enabled,
                                   [this, generation](bool enabled) { return changeOutput(enabled, generation); });
    } catch (...) {
        return failure(503, "application_unavailable");
    }
}

ControlHTTPReply PowerModel::ApiBridge::changeOutput(bool enabled, std::int64_t generation) {
    try {
        const auto refusal = onGui<std::optional<ControlHTTPReply>>(
            [generation](PowerModel& model) { return model.beginAPIChange(generation); });
        if (!refusal) return modelGone();
        if (*refusal) return **refusal;
        // The session call blocks; it runs on this server worker, not on the GUI thread.
        const auto outcome = detail::attempt([&] { return session->setOutput(enabled); });
        const auto reply = onGui<ControlHTTPReply>([enabled, generation, outcome](PowerModel& model) {
            return model.finishAPIChange(enabled, generation, outcome.value, outcome.error);
        });
        return reply ? *reply : modelGone();
    } catch (...) {
        return modelGone();
    }
}

PowerModel::ApiRoute PowerModel::routeAPI(const ControlHTTPRequest& request) const {
    ApiRoute route;
    if (request.path == "/v1/status") {
        route.reply = request.method == "GET" ? ControlHTTPReply(200, apiStatus(*this)) : failure(405, "use_GET");
    } else if (request.path == "/v1/output/on" || request.path == "/v1/output/off") {
        if (request.method != "POST") {
            route.reply = failure(405, "use_POST");
        } else if (connected_ && !recovering_) {
            route.enabled = request.path == "/v1/output/on";
            route.generation = sessionGeneration_;
        } else {
            route.reply = unverified(503, "power_supply_unavailable");
        }
    } else {
        route.reply = failure(404, "not_found");
    }
    return route;
}

std::optional<ControlHTTPReply> PowerModel::beginAPIChange(std::int64_t generation) {
    if (sessionGeneration_ != generation || !connected_ || recovering_) {
        return unverified(503, "connection_changed");
    }
    setBusy(true);
    return std::nullopt;
}

ControlHTTPReply PowerModel::finishAPIChange(bool enabled, std::int64_t generation,
                                             const std::optional<PowerSample>& sample,
                                             const std::optional<VarekError>& error) {
    // A connection change since the switch began hands `busy` to whoever changed it.
    if (sessionGeneration_ != generation || !connected_) return unverified(503, "connection_changed");
    setBusy(false);
    if (error || sample->outputEnabled != enabled) {
        const VarekError cause = error ? *error : VarekError::readback();
        log(QStringLiteral("API输出切换未确认：") + QString::fromStdString(cause.description()));
        return unconfirmed(cause);
    }
    accept(*sample);
    setNotice(enabled ? QStringLiteral("API开启输出 · 已读回确认") : QStringLiteral("API关闭输出 · 已读回确认"));
    log(enabled ? QStringLiteral("API请求开启输出，已读回确认。") : QStringLiteral("API请求关闭输出，已读回确认。"));
    Json body = apiStatus(*this);
    body["verified"] = true;
    body["output_enabled"] = enabled;
    return ControlHTTPReply(200, body);
}

}  // namespace varek
