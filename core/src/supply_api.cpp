#include "varek/supply_api.hpp"

#include <cmath>
#include <string_view>

#include "varek/api_bodies.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

double unixSeconds(Timestamp time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

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

Json recordingBody(const std::optional<SampleFeed::Recording>& recording) {
    if (!recording) return nullptr;
    return Json{
        {"directory", recording->directory.string()},
        {"file", recording->file ? Json(recording->file->string()) : Json(nullptr)},
        {"paused", recording->paused},
        {"reason", recording->paused ? Json(recording->reason) : Json(nullptr)},
    };
}

std::function<bool()> wanted(const ControlResponder& responder) {
    return [gone = responder.goneCheck()] { return !gone(); };
}

}  // namespace

SupplyApi::SupplyApi(SupplyEngine& engine, Policy policy) : engine_(engine), policy_(std::move(policy)) {}

void SupplyApi::onHost(std::function<void()> work) const {
    if (policy_.onHostThread) return policy_.onHostThread(std::move(work));
    work();
}

std::int64_t SupplyApi::connection() const { return policy_.connection ? policy_.connection() : 0; }

bool SupplyApi::stillCurrent(std::int64_t connection) const {
    return !policy_.stillCurrent || policy_.stillCurrent(connection);
}

void SupplyApi::handle(const ControlHTTPRequest& request, ControlResponder responder) {
    const auto& router = policy_.dashboard ? ControlApiRouter::supplyWithDashboard() : ControlApiRouter::supply();
    const auto match = router.match(request);
    if (match.reply) return responder.reply(*match.reply);
    const ApiRoute route = *match.route;
    switch (route) {
    case ApiRoute::status: return policy_.status(std::move(responder));
    case ApiRoute::sequenceProgress: {
        const auto progress = engine_.sequences().progress();
        return responder.reply(progress ? ControlHTTPReply(200, progressBody(*progress)) : noSequence());
    }
    case ApiRoute::sequenceStop: return stopSequence(std::move(responder));
    case ApiRoute::latest:
        engine_.feed().watched();
        return responder.reply(latest());
    case ApiRoute::history: return responder.reply(ControlHTTPReply(200, history()));
    case ApiRoute::server: return responder.reply(ControlHTTPReply(200, server()));
    default: break;
    }
    if (route == ApiRoute::sequenceStart) return startSequence(request, std::move(responder));
    if (route == ApiRoute::setpoints) return setpoints(request, std::move(responder));
    if (policy_.refuse) {
        if (auto refusal = policy_.refuse(route)) return responder.reply(*refusal);
    }
    if (route == ApiRoute::sample) return sample(std::move(responder));
    switchOutput(route == ApiRoute::outputOn, std::move(responder));
}

void SupplyApi::switchOutput(bool enabled, ControlResponder responder) {
    const std::int64_t token = connection();
    const ApiClient client{"HTTP", responder.client()};
    auto operation = [this, token, client](bool state, OutputRequestQueue::Predicate wanted,
                                           OutputRequestQueue::Done finished) {
        onHost([this, token, client, state, wanted, finished] {
            if (policy_.switchStarting && !policy_.switchStarting(token)) return finished({});
            engine_.writeOutput(state, client, wanted, [this, state, token, finished](const auto& outcome) {
                onHost([this, state, token, finished, outcome] {
                    if (policy_.switched) policy_.switched(state, token, outcome);
                    finished({outcome.sample, outcome.error});
                });
            });
        });
    };
    engine_.outputs().perform(enabled, std::move(operation), responder.goneCheck(),
                              [this, enabled, token, responder](const OutputRequestQueue::Outcome& outcome) {
                                  responder.reply(switchReply(enabled, token, outcome));
                              });
}

ControlHTTPReply SupplyApi::switchReply(bool enabled, std::int64_t token, const OutputRequestQueue::Outcome& outcome) {
    if (!stillCurrent(token) || (!outcome.sample && !outcome.error)) return unverified("connection_changed");
    if (outcome.error) return notConfirmed(outcome.error->description());
    Json body = policy_.confirmedBody(*outcome.sample);
    body["verified"] = true;
    body["output_enabled"] = enabled;
    return ControlHTTPReply(200, body);
}

void SupplyApi::setpoints(const ControlHTTPRequest& request, ControlResponder responder) {
    SetpointRequest wanted;
    try {
        wanted = SetpointRequest::parse(request.body, engine_.ceilings());
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    if (policy_.refuse) {
        if (auto refusal = policy_.refuse(ApiRoute::setpoints)) return responder.reply(*refusal);
    }
    const std::int64_t token = connection();
    const ApiClient client{"HTTP", responder.client()};
    engine_.writeSetpoints(wanted, client, varek::wanted(responder), [this, token, responder](const auto& outcome) {
        onHost([this, token, responder, outcome] {
            if (!stillCurrent(token)) return responder.reply(unverified("connection_changed"));
            // Refused before anything was written: the request, not the supply, is at fault.
            if (outcome.refused) return responder.reply(invalidRequest(outcome.refused->message()));
            if (policy_.setpointsWritten) policy_.setpointsWritten(token, outcome);
            if (outcome.error || !outcome.sample) {
                return responder.reply(notConfirmed((outcome.error ? *outcome.error : VarekError::disconnected()).description()));
            }
            responder.reply(ControlHTTPReply(200, setpointsBody(policy_.confirmedBody(*outcome.sample), *outcome.sample)));
        });
    });
}

void SupplyApi::sample(ControlResponder responder) {
    engine_.readSample(wanted(responder), [this, responder](const SupplyEngine::WriteOutcome& outcome) {
        const auto identity = engine_.identity();
        if (!outcome.sample || !identity) return responder.reply(unavailable());
        responder.reply(ControlHTTPReply(200, sampleBody(*outcome.sample, *identity)));
    });
}

void SupplyApi::startSequence(const ControlHTTPRequest& request, ControlResponder responder) {
    SequenceProfile profile;
    try {
        profile = SequenceProfile::parse(request.body, engine_.ceilings());
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    SequenceRunner& runner = engine_.sequences();
    if (runner.running()) {
        if (const auto progress = runner.progress()) return responder.reply(sequenceRunning(*progress));
    }
    if (policy_.refuse) {
        if (auto refusal = policy_.refuse(ApiRoute::sequenceStart)) return responder.reply(*refusal);
    }
    if (!engine_.startSequence(std::move(profile), {"HTTP", responder.client()})) {
        const auto progress = runner.progress();
        return responder.reply(runner.running() && progress ? sequenceRunning(*progress) : unavailable());
    }
    responder.reply(ControlHTTPReply(202, progressBody(*runner.progress())));
}

void SupplyApi::stopSequence(ControlResponder responder) {
    if (!engine_.sequences().progress()) return responder.reply(noSequence());
    engine_.sequences().stop([responder](const SequenceProgress& progress) {
        responder.reply(ControlHTTPReply(200, progressBody(progress)));
    });
}

ControlHTTPReply SupplyApi::latest() const {
    const auto latest = engine_.feed().latest();
    const auto identity = engine_.identity();
    if (!latest || !latest->fresh || !identity) return unavailable();
    Json body = sampleBody(latest->sample, *identity);
    body["age_s"] = latest->ageSeconds;
    return ControlHTTPReply(200, body);
}

Json SupplyApi::history() const {
    Json times = Json::array(), voltages = Json::array(), currents = Json::array(), powers = Json::array();
    for (const auto& point : engine_.feed().history()) {
        // Milliseconds are all a chart can show; fewer digits keep an hour's body small.
        times.push_back(std::round(unixSeconds(point.time) * 1000) / 1000);
        voltages.push_back(point.voltage);
        currents.push_back(point.current);
        powers.push_back(point.power);
    }
    return Json{{"ok", true}, {"time_s", times}, {"voltage_V", voltages}, {"current_A", currents}, {"power_W", powers}};
}

Json SupplyApi::server() const {
    const SampleFeed& feed = engine_.feed();
    const auto progress = engine_.sequences().progress();
    const auto identity = engine_.identity().value_or(DeviceIdentity{});
    const SafetyCeilings ceilings = engine_.ceilings();
    const auto hertz = feed.pollHertz();
    return Json{
        {"ok", true},
        {"link", linkBody(engine_.linkState())},
        {"reconnects", engine_.reconnects()},
        {"poll_hz", hertz ? Json(*hertz) : Json(nullptr)},
        {"on_demand", feed.onDemand()},
        {"recording", recordingBody(feed.recording())},
        {"ceilings", {{"voltage_V", ceilings.voltage()}, {"current_limit_A", ceilings.current()}}},
        {"sequence", progress ? progressBody(*progress) : Json(nullptr)},
        {"model", identity.model},
        {"serial", identity.serial},
        {"firmware", identity.firmware},
    };
}

}  // namespace varek
