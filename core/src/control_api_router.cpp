#include "varek/control_api_router.hpp"

#include <string>

namespace varek {

namespace {

const std::vector<ControlApiRouter::Entry> supplyRoutes{
    {"/v1/status", "GET", ApiRoute::status},
    {"/v1/output/on", "POST", ApiRoute::outputOn},
    {"/v1/output/off", "POST", ApiRoute::outputOff},
    {"/v1/setpoints", "POST", ApiRoute::setpoints},
    {"/v1/sample", "GET", ApiRoute::sample},
    // POST first: the 405 of /v1/sequence names the method that starts a run.
    {"/v1/sequence", "POST", ApiRoute::sequenceStart},
    {"/v1/sequence", "GET", ApiRoute::sequenceProgress},
    {"/v1/sequence/stop", "POST", ApiRoute::sequenceStop},
};

}  // namespace

const ControlApiRouter& ControlApiRouter::supply() {
    static const ControlApiRouter router(supplyRoutes);
    return router;
}

const ControlApiRouter& ControlApiRouter::supplyWithDashboard() {
    static const ControlApiRouter router([] {
        auto table = supplyRoutes;
        table.insert(table.end(), {{"/v1/latest", "GET", ApiRoute::latest},
                                   {"/v1/history", "GET", ApiRoute::history},
                                   {"/v1/server", "GET", ApiRoute::server}});
        return table;
    }());
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
