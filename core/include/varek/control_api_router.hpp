#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "varek/http.hpp"

namespace varek {

/// The routes of the HTTP control API that a host serves after authentication.
enum class ApiRoute {
    status,
    outputOn,
    outputOff,
    setpoints,
    sample,
    sequenceStart,
    sequenceProgress,
    sequenceStop,
    latest,
    history,
    server,
};

/// Route matching shared by every host of the control API: exact path first, then
/// method, with the API's 404 and 405 replies. Hosts make their own bodies.
class ControlApiRouter {
public:
    struct Entry {
        std::string_view path;
        std::string_view method;
        ApiRoute route;
    };
    /// The route, or the reply that ends the request (404 / 405).
    struct Match {
        std::optional<ApiRoute> route;
        std::optional<ControlHTTPReply> reply;
    };

    /// Every supply's routes: GET /v1/status, POST /v1/output/on and /off, POST
    /// /v1/setpoints, GET /v1/sample, POST and GET /v1/sequence, POST /v1/sequence/stop.
    static const ControlApiRouter& supply();
    /// The same plus what a dashboard watches: GET /v1/latest, /v1/history and /v1/server.
    static const ControlApiRouter& supplyWithDashboard();
    explicit ControlApiRouter(std::vector<Entry> table);

    /// Paths are exact (no query, no trailing slash); a known path with another
    /// method gets 405 "use_" + the route's method.
    Match match(const ControlHTTPRequest& request) const;
    /// {"ok":false,"error":error} with `status`.
    static ControlHTTPReply errorReply(int status, std::string_view error);

private:
    std::vector<Entry> table_;
};

}  // namespace varek
