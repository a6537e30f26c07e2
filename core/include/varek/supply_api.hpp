#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "varek/control_api_router.hpp"
#include "varek/control_server.hpp"
#include "varek/http.hpp"
#include "varek/supply_engine.hpp"

namespace varek {

/// Every API route of one supply, answered once for whichever program hosts it: one
/// route table, one dispatch, one place for each body. A host adds only what its
/// program differs in, through its Policy: its status body, when writes may start,
/// and (the desktop application) the effects of an API write on its window.
class SupplyApi {
public:
    struct Policy {
        /// Answers GET /v1/status: each program has its own body. Required.
        std::function<void(ControlResponder)> status;
        /// The 200 body of a confirmed write, made from the confirmed sample, before the
        /// write's own keys are added. Required.
        std::function<Json(const PowerSample& confirmed)> confirmedBody;
        /// The reply refusing `route` now (the desktop while no supply is connected);
        /// nothing to go ahead. Optional: nothing is refused.
        std::function<std::optional<ControlHTTPReply>(ApiRoute route)> refuse;
        /// Runs `work` on the host's thread (the desktop's GUI thread). Optional: runs at once.
        std::function<void(std::function<void()> work)> onHostThread;
        /// The connection a request begins on, and whether it is still the one: a write
        /// whose connection changed is answered 503 "connection_changed". Optional.
        std::function<std::int64_t()> connection;
        std::function<bool(std::int64_t connection)> stillCurrent;
        /// An output switch may start its device work (once per switch, merged requests
        /// share it); false ends it unrun. Optional.
        std::function<bool(std::int64_t connection)> switchStarting;
        /// An output switch ended (once per switch): the host's own effects. Optional.
        std::function<void(bool enabled, std::int64_t connection, const SupplyEngine::WriteOutcome&)> switched;
        /// A setpoint write ended on a current connection: the host's own effects. Optional.
        std::function<void(std::int64_t connection, const SupplyEngine::WriteOutcome&)> setpointsWritten;
        /// Serve GET /v1/latest, /v1/history and /v1/server too.
        bool dashboard = false;
    };

    /// `engine` must outlive the API.
    SupplyApi(SupplyEngine& engine, Policy policy);
    SupplyApi(const SupplyApi&) = delete;
    SupplyApi& operator=(const SupplyApi&) = delete;

    /// Answers `request` through `responder`, once (or not at all when the client has
    /// gone). Call on the host's thread; it never waits on the supply.
    void handle(const ControlHTTPRequest& request, ControlResponder responder);

    /// The /v1/latest reply: the sample's keys and its age, or 503 while there is none.
    ControlHTTPReply latest() const;
    /// The /v1/history body: compact columns of the last hour.
    Json history() const;
    /// The /v1/server body.
    Json server() const;

private:
    void switchOutput(bool enabled, ControlResponder responder);
    ControlHTTPReply switchReply(bool enabled, std::int64_t connection, const OutputRequestQueue::Outcome& outcome);
    void setpoints(const ControlHTTPRequest& request, ControlResponder responder);
    void sample(ControlResponder responder);
    void startSequence(const ControlHTTPRequest& request, ControlResponder responder);
    void stopSequence(ControlResponder responder);
    void onHost(std::function<void()> work) const;
    std::int64_t connection() const;
    bool stillCurrent(std::int64_t connection) const;

    SupplyEngine& engine_;
    const Policy policy_;
};

}  // namespace varek
