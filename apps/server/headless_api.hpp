#pragma once

#include <functional>
#include <string>

#include "varek/control_server.hpp"
#include "varek/device.hpp"
#include "varek/http.hpp"
#include "varek/output_request_queue.hpp"

namespace varek {

class DeviceWorker;
class SerialSession;

/// The request handler of varek-server: GET "/v1/status", POST "/v1/output/on"
/// and "/v1/output/off". Every request it sees is already authenticated.
/// Routing happens on the control server's io thread; device work goes to the
/// worker, one operation at a time, and is dropped when its client has gone.
class HeadlessAPI {
public:
    /// `session` is open; `session` and `worker` must outlive the handler, whose
    /// `identity` is never re-read.
    HeadlessAPI(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker);
    /// Receives one line per client's write request once its outcome is known.
    using Audit = std::function<void(const std::string& line)>;
    /// As above; every output switch asked for is also reported to `audit`.
    HeadlessAPI(SerialSession& session, DeviceIdentity identity, DeviceWorker& worker, Audit audit);
    HeadlessAPI(const HeadlessAPI&) = delete;
    HeadlessAPI& operator=(const HeadlessAPI&) = delete;

    /// Answers through `responder`, exactly once (or not at all when the client has gone).
    void handle(const ControlHTTPRequest& request, ControlResponder responder);
    /// 200 with the ten-key status body for `sample`.
    ControlHTTPReply response(const PowerSample& sample, bool verified) const;
    /// The ten-key status body for `sample`.
    Json statusBody(const PowerSample& sample, bool verified) const;

private:
    void status(ControlResponder responder);
    void switchOutput(bool enabled, ControlResponder responder);
    ControlHTTPReply switched(bool enabled, const OutputRequestQueue::Outcome& outcome) const;

    SerialSession& session_;
    const DeviceIdentity identity_;
    DeviceWorker& worker_;
    OutputRequestQueue outputQueue_;
    Audit audit_;
};

}  // namespace varek
