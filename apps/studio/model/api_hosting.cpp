#include "api_hosting.hpp"

#include "device_call.hpp"
#include "varek/api_bodies.hpp"
#include "varek/control_api_router.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_server.hpp"
#include "varek/supply_api.hpp"
#include "varek/supply_engine.hpp"

namespace varek {

struct ApiHosting::ScpiSlot {
    std::unique_ptr<SCPIServer> server;
};

namespace {

QString apiFailure(const std::string& reason) { return QStringLiteral("API启动失败：") + QString::fromStdString(reason); }

std::string describe(const std::exception& e) {
    if (const auto* error = dynamic_cast<const VarekError*>(&e)) return error->description();
    return e.what();
}

QString fixed(double value) { return QString::fromStdString(formatFixed2(value)); }

}  // namespace

ApiHosting::ApiHosting(ModelState& state, SupplyEngine& engine, std::function<std::int64_t()> generation)
    : state_(state), engine_(engine), generation_(std::move(generation)), scpi_(std::make_shared<ScpiSlot>()) {
    const QPointer<QObject> owner(this);
    SupplyApi::Policy policy;
    policy.status = [this](ControlResponder responder) { responder.reply(ControlHTTPReply(200, status())); };
    policy.confirmedBody = [this](const PowerSample&) { return status(); };
    policy.refuse = [this](ApiRoute route) -> std::optional<ControlHTTPReply> {
        if (state_.connected && !state_.recovering && state_.identity) return std::nullopt;
        const bool write = route == ApiRoute::outputOn || route == ApiRoute::outputOff || route == ApiRoute::setpoints;
        return write ? unverified("power_supply_unavailable") : unavailable();
    };
    policy.onHostThread = [owner](std::function<void()> work) { detail::hop(owner, std::move(work)); };
    policy.connection = [this] { return generation_(); };
    policy.stillCurrent = [this](std::int64_t token) { return generation_() == token && state_.connected; };
    policy.switchStarting = [this](std::int64_t token) {
        if (generation_() != token || !state_.connected || state_.recovering) return false;
        state_.setBusy(true);
        return true;
    };
    policy.switched = [this](bool enabled, std::int64_t token, const SupplyEngine::WriteOutcome& outcome) {
        // A connection change since the switch began hands `busy` to whoever changed it.
        if (generation_() != token || !state_.connected) return;
        state_.setBusy(false);
        if (!outcome.sample && !outcome.error) return;  // dropped unrun: nobody waits for it
        if (outcome.error) {
            state_.log(QStringLiteral("API输出切换未确认：") + QString::fromStdString(outcome.error->description()));
            return;
        }
        state_.accept(*outcome.sample);
        state_.setNotice(enabled ? QStringLiteral("API开启输出 · 已读回确认") : QStringLiteral("API关闭输出 · 已读回确认"));
        state_.log(enabled ? QStringLiteral("API请求开启输出，已读回确认。") : QStringLiteral("API请求关闭输出，已读回确认。"));
    };
    policy.setpointsWritten = [this](std::int64_t, const SupplyEngine::WriteOutcome& outcome) {
        if (outcome.error) {
            state_.log(QStringLiteral("API设定未确认：") + QString::fromStdString(outcome.error->description()));
            return;
        }
        state_.accept(*outcome.sample);
        // The fields show what the supply now holds, as after the apply button.
        state_.setVoltageDraft(fixed(outcome.sample->voltageSet));
        state_.setCurrentDraft(fixed(outcome.sample->currentSet));
        state_.log(QStringLiteral("API设定 ") + state_.voltageDraft + QStringLiteral("V / ") + state_.currentDraft +
                   QStringLiteral("A 已读回确认。"));
    };
    api_ = std::make_unique<SupplyApi>(engine_, std::move(policy));
}

ApiHosting::~ApiHosting() {
    control_.reset();
    stopSCPI();
}

Json ApiHosting::status() const {
    Json status = {{"ok", true},
                   {"connected", state_.connected},
                   {"recovering", state_.recovering},
                   {"source_sha", platform::sourceSHA()}};
    if (state_.identity) {
        status["model"] = state_.identity->model;
        status["firmware"] = state_.identity->firmware;
    }
    if (state_.connected && !state_.recovering && state_.latest) {
        status["output_enabled"] = state_.latest->outputEnabled;
        status["voltage_V"] = state_.latest->voltage;
        status["current_A"] = state_.latest->current;
        status["sample_at"] = iso8601(state_.latest->time);
    }
    return status;
}

void ApiHosting::startControlServer(std::uint16_t port, const std::filesystem::path& supportDirectory) {
    const QPointer<QObject> owner(this);
    // The hop goes through the application object, so that it still runs (and can
    // answer) when this host is gone by then.
    const auto handler = [owner, api = api_.get()](const ControlHTTPRequest& incoming, ControlResponder responder) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [owner, api, incoming, responder] {
                if (owner) return api->handle(incoming, responder);
                responder.reply(ControlApiRouter::errorReply(503, "application_unavailable"));
            },
            Qt::QueuedConnection);
    };
    try {
        control_ = std::make_unique<ControlServer>(port, handler, supportDirectory);
        state_.apiTokenPath = QString::fromStdString(control_->tokenPath().string());
        state_.announce(ModelChange::apiTokenPath);
        control_->start([owner, this](const ListenerEvent& event) {
            detail::hop(owner, [this, event] {
                if (event.kind == ListenerEvent::Kind::listening) {
                    state_.setApiState(QStringLiteral("API已监听 · 本机 / 局域网 · ") + QString::number(event.port));
                } else {
                    state_.setApiState(apiFailure(event.reason));
                }
            });
        });
    } catch (const std::exception& e) {
        state_.setApiState(apiFailure(describe(e)));
    }
}

std::string ApiHosting::token() const { return control_ ? control_->token() : std::string(); }

std::uint16_t ApiHosting::httpPort() const { return control_ ? control_->boundPort() : 0; }

std::size_t ApiHosting::switchesPending() const { return engine_.outputs().pending(); }

void ApiHosting::startSCPI(std::uint16_t port) {
    const std::uint64_t generation = ++scpiGeneration_;
    scpiRunning_ = true;
    scpiPort_ = 0;
    const QPointer<QObject> owner(this);
    const auto failed = [owner, this, generation](const std::string& reason) {
        detail::hop(owner, [this, generation, reason] {
            if (scpiGeneration_ == generation) state_.log(QStringLiteral("SCPI启动失败：") + QString::fromStdString(reason));
        });
    };
    // News from the io thread count only while this start is the current one.
    const auto events = [owner, this, generation, failed](const ListenerEvent& event) {
        if (event.kind != ListenerEvent::Kind::listening) return failed(event.reason);
        detail::hop(owner, [this, generation, port = event.port] {
            if (scpiGeneration_ == generation) scpiPort_ = port;
        });
    };
    engine_.post([slot = scpi_, port, factory = engine_.instruments(), dispatch = engine_.dispatch(), events,
                  failed](bool run) {
        if (!run) return;
        try {
            slot->server = std::make_unique<SCPIServer>(port, factory, dispatch);
            slot->server->start(events);
        } catch (const std::exception& e) {
            slot->server.reset();
            failed(describe(e));
        }
    });
}

void ApiHosting::stopSCPI() {
    if (!scpiRunning_) return;
    ++scpiGeneration_;
    scpiRunning_ = false;
    scpiPort_ = 0;
    // Destroying the server joins its io thread and waits for a line inside a session
    // call: both belong on the device thread, and before the port closes.
    engine_.post([slot = scpi_](bool) {
        if (!slot->server) return;
        slot->server->stop();
        slot->server.reset();
    });
}

}  // namespace varek
