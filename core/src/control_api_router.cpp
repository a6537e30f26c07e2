#include "varek/control_api_router.hpp"

#include <string>

namespace varek {

const ControlApiRouter& ControlApiRouter::standard() {
    static const ControlApiRouter router({
        {"/v1/status", "GET", ApiRoute::status},
        {"/v1/output/on", "POST", ApiRoute::outputOn},
        {"/v1/output/off", "POST", ApiRoute::outputOff},
    });
    return router;
}

const ControlApiRouter& ControlApiRouter::automation() {
    static const ControlApiRouter router({
        {"/v1/status", "GET", ApiRoute::status},
        {"/v1/output/on", "POST", ApiRoute::outputOn},
        {"/v1/output/off", "POST", ApiRoute::outputOff},
        {"/v1/setpoints", "POST", ApiRoute::setpoints},
        {"/v1/sample", "GET", ApiRoute::sample},
        // POST first: the 405 of /v1/sequence names the method that starts a run.
        {"/v1/sequence", "POST", ApiRoute::sequenceStart},
        {"/v1/sequence", "GET", ApiRoute::sequenceProgress},
        {"/v1/sequence/stop", "POST", ApiRoute::sequenceStop},
    });
    return router;
}

ControlApiRouter::ControlApiRouter(std::vector<Entry> table) : table_(std::move(table)) {}

ControlApiRouter::Match ControlApiRouter::match(const ControlHTTPRequest& request) const {
    const Entry* samePath = nullptr;
    for (const Entry& entry : table_) {
        if (entry.path != request.path) continue;
        if (entry.method == request.method) return {entry.route, std::nullopt};
        if (!samePath) samePath = &entry;
    }
    if (samePath) return {std::nullopt, errorReply(405, "use_" + std::string(samePath->method))};
    return {std::nullopt, errorReply(404, "not_found")};
}

ControlHTTPReply ControlApiRouter::errorReply(int status, std::string_view error) {
    return ControlHTTPReply(status, Json{{"ok", false}, {"error", error}});
}

}  // namespace varek
