#include "server_automation.hpp"

#include <exception>
#include <string>

#include "audit.hpp"
#include "server_replies.hpp"
#include "varek/automation_api.hpp"
#include "varek/format.hpp"
#include "varek/control_api_router.hpp"
#include "varek/device_worker.hpp"
#include "varek/error.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

ControlHTTPReply noSequence() { return ControlApiRouter::errorReply(404, "no_sequence"); }

PowerSample write(SerialSession& session, const SetpointRequest& request) {
    if (request.voltage && request.current) return session.setValues(*request.voltage, *request.current);
    if (request.voltage) return session.setVoltage(*request.voltage);
    return session.setCurrent(*request.current);
}

}  // namespace

ServerAutomation::ServerAutomation(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker,
                                   SafetyCeilings ceilings, const HeadlessAPI& status, Audit audit)
    : session_(session),
      identity_(identity),
      worker_(worker),
      ceilings_(ceilings),
      status_(status),
      audit_(std::move(audit)),
      runner_([&worker](SequenceRunner::Job job) { return worker.post(std::move(job)); },
              attributed(SequenceDevice::of(session)), SequenceClock::steady(),
              [this](const SequenceProgress& progress) { sequenceEvent(progress); }) {}

SequenceDevice ServerAutomation::attributed(SequenceDevice device) {
    // A step's write that takes effect late is the starter's, like the step itself.
    const auto subject = [this] {
        std::lock_guard lock(starterMutex_);
        return auditSubject("HTTP", starter_, "sequence \"" + sequenceName_ + "\"");
    };
    auto setpoints = std::move(device.setpoints);
    auto output = std::move(device.setOutput);
    device.setpoints = [setpoints, subject](std::optional<std::uint16_t> voltage, std::optional<std::uint16_t> current) {
        const SerialSession::WriteAttribution attribution(subject());
        return setpoints(voltage, current);
    };
    device.setOutput = [output, subject](bool on) {
        const SerialSession::WriteAttribution attribution(subject());
        return output(on);
    };
    return device;
}

void ServerAutomation::sequenceEvent(const SequenceProgress& progress) {
    std::string client;
    {
        std::lock_guard lock(starterMutex_);
        client = starter_;
    }
    const std::string what = "sequence \"" + progress.name + "\" ";
    if (progress.state == SequenceProgress::State::running) {
        return audit(auditLine("HTTP", client, what + "step " + std::to_string(progress.step) + " of " +
                                                   std::to_string(progress.steps), true));
    }
    const bool aborted = progress.state == SequenceProgress::State::aborted;
    audit(auditLine("HTTP", client, what + std::string(SequenceProgress::stateName(progress.state)), !aborted,
                    progress.reason));
}

bool ServerAutomation::handle(const ControlHTTPRequest& request, const ControlResponder& responder) {
    const auto standard = ControlApiRouter::standard().match(request);
    if (standard.route || standard.reply->status == 405) return false;
    const auto match = ControlApiRouter::automation().match(request);
    if (match.reply) {
        responder.reply(*match.reply);
        return true;
    }
    switch (*match.route) {
        case ApiRoute::setpoints: setpoints(request.body, responder); break;
        case ApiRoute::sample: sample(responder); break;
        case ApiRoute::sequenceStart: startSequence(request.body, responder); break;
        case ApiRoute::sequenceProgress: sequenceProgress(responder); break;
        case ApiRoute::sequenceStop: stopSequence(responder); break;
        default: return false;
    }
    return true;
}

void ServerAutomation::close() { runner_.close(); }

void ServerAutomation::join() { runner_.join(); }

void ServerAutomation::setpoints(const std::string& body, const ControlResponder& responder) {
    SetpointRequest request;
    try {
        request = SetpointRequest::parse(body, ceilings_);
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    std::string asked = "setpoints";
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on " " + string&&.
    if (request.voltage) asked.append(" ").append(formatFixed2(*request.voltage / 100.0)).append(" V");
    if (request.current) asked.append(" ").append(formatFixed2(*request.current / 100.0)).append(" A");
    const bool queued = worker_.post([this, request, responder, asked](bool run) {
        if (!run) return responder.reply(notConfirmed(VarekError::io("串口已断开。").description()));
        if (responder.gone()) return;
        const SerialSession::WriteAttribution attribution(auditSubject("HTTP", responder.client(), asked));
        try {
            const PowerSample confirmed = write(session_, request);
            audit(auditLine("HTTP", responder.client(), asked, true));
            responder.reply(ControlHTTPReply(200, setpointsBody(status_.statusBody(confirmed, true), confirmed)));
        } catch (const CeilingRefused& refused) {
            // Refused before anything was written: the client's request, not the supply, is at fault.
            responder.reply(invalidRequest(refused.breach().message()));
        } catch (const std::exception& error) {
            const auto* varek = dynamic_cast<const VarekError*>(&error);
            const std::string why = varek ? varek->description() : error.what();
            audit(auditLine("HTTP", responder.client(), asked, false, why));
            responder.reply(notConfirmed(why));
        }
    });
    if (!queued) responder.reply(notConfirmed(VarekError::io("串口已断开。").description()));
}

void ServerAutomation::sample(const ControlResponder& responder) {
    const bool queued = worker_.post([this, responder](bool run) {
        if (!run) return responder.reply(unavailable());
        if (responder.gone()) return;
        try {
            responder.reply(ControlHTTPReply(200, sampleBody(session_.sample(), identity_)));
        } catch (...) {
            responder.reply(unavailable());
        }
    });
    if (!queued) responder.reply(unavailable());
}

void ServerAutomation::startSequence(const std::string& body, const ControlResponder& responder) {
    SequenceProfile profile;
    try {
        profile = SequenceProfile::parse(body, ceilings_);
    } catch (const VarekError& error) {
        return responder.reply(invalidRequest(error.text()));
    }
    {
        std::lock_guard lock(starterMutex_);
        if (!runner_.running()) {
            starter_ = responder.client();
            sequenceName_ = profile.name;
        }
    }
    if (!runner_.start(std::move(profile))) {
        const auto progress = runner_.progress();
        if (runner_.running() && progress) return responder.reply(sequenceRunning(*progress));
        return responder.reply(unavailable());
    }
    responder.reply(ControlHTTPReply(202, progressBody(*runner_.progress())));
}

void ServerAutomation::sequenceProgress(const ControlResponder& responder) {
    const auto progress = runner_.progress();
    responder.reply(progress ? ControlHTTPReply(200, progressBody(*progress)) : noSequence());
}

void ServerAutomation::stopSequence(const ControlResponder& responder) {
    if (!runner_.progress()) return responder.reply(noSequence());
    runner_.stop([responder](const SequenceProgress& progress) {
        responder.reply(ControlHTTPReply(200, progressBody(progress)));
    });
}

}  // namespace varek
