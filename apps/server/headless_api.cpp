#include "headless_api.hpp"

#include <exception>
#include <string>

#include "audit.hpp"
#include "server_replies.hpp"
#include "varek/control_api_router.hpp"
#include "varek/device_worker.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

/// Work that no longer gets its turn (shutdown) ends as this.
VarekError stopped() { return VarekError::io("串口已断开。"); }

}  // namespace

HeadlessAPI::HeadlessAPI(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker)
    : session_(session), identity_(identity), worker_(worker) {}

HeadlessAPI::HeadlessAPI(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker, Audit audit)
    : session_(session), identity_(identity), worker_(worker), audit_(std::move(audit)) {}

void HeadlessAPI::handle(const ControlHTTPRequest& request, ControlResponder responder) {
    const auto match = ControlApiRouter::standard().match(request);
    if (match.reply) return responder.reply(*match.reply);
    switch (*match.route) {
        case ApiRoute::status: return status(std::move(responder));
        case ApiRoute::outputOn: return switchOutput(true, std::move(responder));
        case ApiRoute::outputOff: return switchOutput(false, std::move(responder));
        default: break;  // the standard table has no other routes
    }
}

ControlHTTPReply HeadlessAPI::response(const PowerSample& sample, bool verified) const {
    return ControlHTTPReply(200, statusBody(sample, verified));
}

Json HeadlessAPI::statusBody(const PowerSample& sample, bool verified) const {
    return Json{
        {"ok", true},
        {"connected", true},
        {"verified", verified},
        {"output_enabled", sample.outputEnabled},
        {"voltage_V", sample.voltage},
        {"current_A", sample.current},
        {"model", identity_.model},
        {"firmware", identity_.firmware},
        {"source_sha", platform::sourceSHA()},
        {"sample_at", iso8601(sample.time)},
    };
}

void HeadlessAPI::status(ControlResponder responder) {
    const bool queued = worker_.post([this, responder](bool run) {
        if (!run) return responder.reply(unavailable());
        if (responder.gone()) return;
        try {
            responder.reply(response(session_.sample(), false));
        } catch (...) {
            responder.reply(unavailable());
        }
    });
    if (!queued) responder.reply(unavailable());
}

void HeadlessAPI::switchOutput(bool enabled, ControlResponder responder) {
    auto operation = [this, client = responder.client()](bool state, OutputRequestQueue::Predicate wanted,
                                                         OutputRequestQueue::Done finished) {
        const bool queued = worker_.post([this, state, wanted, finished, client](bool run) {
            if (!run || !wanted()) return finished({std::nullopt, stopped()});
            const SerialSession::WriteAttribution asked(auditSubject("HTTP", client, state ? "output on" : "output off"));
            try {
                finished({session_.setOutput(state), std::nullopt});
            } catch (const VarekError& error) {
                finished({std::nullopt, error});
            } catch (const std::exception& error) {
                finished({std::nullopt, VarekError::io(error.what())});
            }
        });
        if (!queued) finished({std::nullopt, stopped()});
    };
    outputQueue_.perform(enabled, std::move(operation), responder.goneCheck(),
                         [this, enabled, responder](const OutputRequestQueue::Outcome& outcome) {
                             const ControlHTTPReply reply = switched(enabled, outcome);
                             if (audit_) {
                                 audit_(auditLine("HTTP", responder.client(), enabled ? "output on" : "output off",
                                                  reply.status == 200,
                                                  outcome.error ? outcome.error->description() : std::string()));
                             }
                             responder.reply(reply);
                         });
}

ControlHTTPReply HeadlessAPI::switched(bool enabled, const OutputRequestQueue::Outcome& outcome) const {
    if (outcome.error) return notConfirmed(outcome.error->description());
    if (!outcome.sample || outcome.sample->outputEnabled != enabled) {
        return notConfirmed(VarekError::readback().description());
    }
    return response(*outcome.sample, true);
}

}  // namespace varek
