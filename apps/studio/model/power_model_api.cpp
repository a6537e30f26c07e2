// The HTTP control API the application serves while it runs. Requests arrive here on
// the GUI thread (ApiHost's hop); output switches go through the API's queue, with
// the session call on the session thread like a button's.
#include "api_host.hpp"
#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/automation_api.hpp"
#include "varek/control_api_router.hpp"
#include "varek/format.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

ControlHTTPReply unverified(int status, const char* error) {
    return ControlHTTPReply(status, {{"ok", false}, {"error", error}, {"verified", false}});
}

ControlHTTPReply unconfirmed(const VarekError& error) {
    return ControlHTTPReply(502, {{"ok", false},
                                  {"error", "device_confirmation_failed"},
                                  {"message", error.description()},
                                  {"verified", false}});
}

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

ControlHTTPReply unavailable() {
    return ControlHTTPReply(503, Json{{"ok", false}, {"connected", false}, {"error", "power_supply_unavailable"}});
}

PowerSample writeSetpoints(SerialSession& session, const SetpointRequest& request) {
    if (request.voltage && request.current) return session.setValues(*request.voltage, *request.current);
    if (request.voltage) return session.setVoltage(*request.voltage);
    return session.setCurrent(*request.current);
}

QString apiFailure(const std::string& reason) { return QStringLiteral("API启动失败：") + QString::fromStdString(reason); }

}  // namespace

void PowerModel::startControlServer() {
    const std::filesystem::path support = options_.supportDirectory.empty()
                                              ? platform::applicationSupportDirectory()
                                              : options_.supportDirectory;
    const auto failure = api_->startControlServer(options_.httpPort, support);
    if (const auto path = api_->tokenPath()) {
        apiTokenPath_ = QString::fromStdString(path->string());
        emit changed(Change::apiTokenPath);
    }
    if (failure) setApiState(apiFailure(*failure));
}

void PowerModel::apiListenerEvent(const ListenerEvent& event) {
    if (event.kind == ListenerEvent::Kind::listening) {
        setApiState(QStringLiteral("API已监听 · 本机 / 局域网 · ") + QString::number(event.port));
    } else {
        setApiState(apiFailure(event.reason));
    }
}

void PowerModel::serveAPI(const ControlHTTPRequest& request, ControlResponder responder) {
    const auto match = ControlApiRouter::automation().match(request);
    if (match.reply) return responder.reply(*match.reply);
    switch (*match.route) {
    case ApiRoute::status: return responder.reply(ControlHTTPReply(200, apiStatus(*this)));
    case ApiRoute::outputOn: return queueAPISwitch(true, std::move(responder));
    case ApiRoute::outputOff: return queueAPISwitch(false, std::move(responder));
    case ApiRoute::setpoints: return apiSetpoints(request, std::move(responder));
    case ApiRoute::sample: return apiSample(std::move(responder));
    case ApiRoute::sequenceStart: return apiStartSequence(request, std::move(responder));
    case ApiRoute::sequenceProgress: {
        const auto progress = runner_->progress();
        return responder.reply(progress ? ControlHTTPReply(200, progressBody(*progress))
                                        : ControlApiRouter::errorReply(404, "no_sequence"));
    }
    case ApiRoute::sequenceStop: return apiStopSequence(std::move(responder));
    }
}

void PowerModel::apiSetpoints(const ControlHTTPRequest& request, ControlResponder responder) {
    SetpointRequest wanted;
    try {
        wanted = SetpointRequest::parse(request.body, ceilings_);
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    if (!connected_ || recovering_) return responder.reply(unverified(503, "power_supply_unavailable"));
    const std::int64_t generation = sessionGeneration_;
    auto work = [session = session_, wanted, gone = responder.goneCheck()] {
        if (gone()) return detail::Outcome<PowerSample>{};  // nobody waits: the supply is not touched
        return detail::attempt([&] { return writeSetpoints(*session, wanted); });
    };
    detail::runThen(pool_, this, std::move(work), [this, generation, responder](detail::Outcome<PowerSample> r) {
        if (sessionGeneration_ != generation || !connected_ || (!r.value && !r.error)) {
            return responder.reply(unverified(503, "connection_changed"));
        }
        if (r.refused) return responder.reply(invalidRequest(r.refused->message()));
        if (r.error) {
            log(QStringLiteral("API设定未确认：") + QString::fromStdString(r.error->description()));
            return responder.reply(unconfirmed(*r.error));
        }
        accept(*r.value);
        // The fields show what the supply now holds, as after the apply button.
        setVoltageDraft(QString::fromStdString(formatFixed2(r.value->voltageSet)));
        setCurrentDraft(QString::fromStdString(formatFixed2(r.value->currentSet)));
        log(QStringLiteral("API设定 ") + voltageDraft_ + QStringLiteral("V / ") + currentDraft_ +
            QStringLiteral("A 已读回确认。"));
        responder.reply(ControlHTTPReply(200, setpointsBody(apiStatus(*this), *r.value)));
    });
}

void PowerModel::apiSample(ControlResponder responder) {
    if (!connected_ || recovering_ || !identity_) return responder.reply(unavailable());
    auto work = [session = session_, gone = responder.goneCheck()] {
        if (gone()) return detail::Outcome<PowerSample>{};
        return detail::attempt([&] { return session->sample(); });
    };
    detail::runThen(pool_, this, std::move(work), [responder, identity = *identity_](detail::Outcome<PowerSample> r) {
        responder.reply(r.value ? ControlHTTPReply(200, sampleBody(*r.value, identity)) : unavailable());
    });
}

void PowerModel::apiStartSequence(const ControlHTTPRequest& request, ControlResponder responder) {
    SequenceProfile profile;
    try {
        profile = SequenceProfile::parse(request.body, ceilings_);
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    if (runner_->running()) return responder.reply(sequenceRunning(*runner_->progress()));
    if (!connected_ || recovering_) return responder.reply(unavailable());
    if (!runner_->start(std::move(profile))) {
        const auto progress = runner_->progress();
        return responder.reply(progress && runner_->running() ? sequenceRunning(*progress) : unavailable());
    }
    responder.reply(ControlHTTPReply(202, progressBody(*runner_->progress())));
}

void PowerModel::apiStopSequence(ControlResponder responder) {
    if (!runner_->progress()) return responder.reply(ControlApiRouter::errorReply(404, "no_sequence"));
    runner_->stop([responder](const SequenceProgress& progress) {
        responder.reply(ControlHTTPReply(200, progressBody(progress)));
    });
}

void PowerModel::queueAPISwitch(bool enabled, ControlResponder responder) {
    if (!connected_ || recovering_) return responder.reply(unverified(503, "power_supply_unavailable"));
    const std::int64_t generation = sessionGeneration_;
    using Queue = OutputRequestQueue;
    // Runs on this thread (the queue starts it from perform or from the previous
    // switch's finish, both here); only the session call leaves it.
    auto operation = [this, generation](bool state, Queue::Predicate wanted, Queue::Done finished) {
        if (!beginAPISwitch(generation)) return finished({});
        auto work = [session = session_, state, wanted] {
            // Every requester gone: the supply is not touched.
            if (!wanted()) return detail::Outcome<PowerSample>{};
            return detail::attempt([&] { return session->setOutput(state); });
        };
        detail::runThen(pool_, this, std::move(work),
                        [this, generation, state, finished](detail::Outcome<PowerSample> r) {
                            finishAPISwitch(state, generation, r.value, r.error);
                            finished({r.value, r.error});
                        });
    };
    api_->outputQueue().perform(enabled, std::move(operation), responder.goneCheck(),
                                [this, enabled, generation, responder](const Queue::Outcome& outcome) {
                                    responder.reply(apiSwitchReply(enabled, generation, outcome.sample, outcome.error));
                                });
}

bool PowerModel::beginAPISwitch(std::int64_t generation) {
    if (sessionGeneration_ != generation || !connected_ || recovering_) return false;
    setBusy(true);
    return true;
}

void PowerModel::finishAPISwitch(bool enabled, std::int64_t generation, const std::optional<PowerSample>& sample,
                                 const std::optional<VarekError>& error) {
    // A connection change since the switch began hands `busy` to whoever changed it.
    if (sessionGeneration_ != generation || !connected_) return;
    setBusy(false);
    if (!sample && !error) return;  // dropped unrun: nobody waits for it
    if (error || sample->outputEnabled != enabled) {
        const VarekError cause = error ? *error : VarekError::readback();
        log(QStringLiteral("API输出切换未确认：") + QString::fromStdString(cause.description()));
        return;
    }
    accept(*sample);
    setNotice(enabled ? QStringLiteral("API开启输出 · 已读回确认") : QStringLiteral("API关闭输出 · 已读回确认"));
    log(enabled ? QStringLiteral("API请求开启输出，已读回确认。") : QStringLiteral("API请求关闭输出，已读回确认。"));
}

ControlHTTPReply PowerModel::apiSwitchReply(bool enabled, std::int64_t generation,
                                            const std::optional<PowerSample>& sample,
                                            const std::optional<VarekError>& error) const {
    if (sessionGeneration_ != generation || !connected_ || (!sample && !error)) {
        return unverified(503, "connection_changed");
    }
    if (error || sample->outputEnabled != enabled) return unconfirmed(error ? *error : VarekError::readback());
    Json body = apiStatus(*this);
    body["verified"] = true;
    body["output_enabled"] = enabled;
    return ControlHTTPReply(200, body);
}

}  // namespace varek
