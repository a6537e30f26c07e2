#pragma once

#include "server_automation.hpp"
#include "service.hpp"
#include "varek/control_server.hpp"
#include "varek/device.hpp"
#include "varek/http.hpp"
#include "varek/safety_ceilings.hpp"

namespace varek {

/// The read-only routes a dashboard watches: GET /v1/latest, /v1/history and
/// /v1/server. Every answer comes from memory on the io thread; none touches the
/// serial line.
class DashboardAPI {
public:
    /// `service` and `automation` must outlive this object.
    DashboardAPI(Service& service, const ServerAutomation& automation, DeviceIdentity identity,
                 SafetyCeilings ceilings);
    DashboardAPI(const DashboardAPI&) = delete;
    DashboardAPI& operator=(const DashboardAPI&) = delete;

    /// Answers and returns true when `request`'s path is one of these routes
    /// (405 "use_GET" for another method); false leaves it to the other handlers.
    bool handle(const ControlHTTPRequest& request, const ControlResponder& responder);

    /// The /v1/latest reply: the sample's keys and its age, or 503 while there is none.
    ControlHTTPReply latest() const;
    /// The /v1/history body: compact columns of the last hour.
    Json history() const;
    /// The /v1/server body.
    Json server() const;

private:
    Service& service_;
    const ServerAutomation& automation_;
    const DeviceIdentity identity_;
    const SafetyCeilings ceilings_;
};

}  // namespace varek
