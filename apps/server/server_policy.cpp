#include "server_policy.hpp"

#include "varek/api_bodies.hpp"

namespace varek {

SupplyApi::Policy serverPolicy(SupplyEngine& engine, const DeviceIdentity& identity) {
    SupplyApi::Policy policy;
    policy.status = [&engine, identity](ControlResponder responder) {
        engine.readSample([gone = responder.goneCheck()] { return !gone(); },
                          [identity, responder](const SupplyEngine::WriteOutcome& outcome) {
                              responder.reply(outcome.sample
                                                  ? ControlHTTPReply(200, statusBody(*outcome.sample, identity, false))
                                                  : unavailable());
                          });
    };
    policy.confirmedBody = [identity](const PowerSample& confirmed) { return statusBody(confirmed, identity, true); };
    policy.dashboard = true;
    return policy;
}

}  // namespace varek
