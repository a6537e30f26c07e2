#pragma once

#include "varek/device.hpp"
#include "varek/http.hpp"
#include "varek/output_request_queue.hpp"

namespace varek {

class SerialSession;

/// The request handler of varek-server: GET "/v1/status", POST "/v1/output/on"
/// and "/v1/output/off". Every request it sees is already authenticated.
/// Thread-safe: device traffic is serialised by the session, switching by the queue.
class HeadlessAPI {
public:
    /// `session` is open and must outlive the handler; `identity` is never re-read.
    HeadlessAPI(SerialSession& session, DeviceIdentity identity);
    HeadlessAPI(const HeadlessAPI&) = delete;
    HeadlessAPI& operator=(const HeadlessAPI&) = delete;

    /// Routes by exact path, then method. Never throws: every failure is a reply.
    ControlHTTPReply handle(const ControlHTTPRequest& request);
    /// 200 with the ten-key status body for `sample`.
    ControlHTTPReply response(const PowerSample& sample, bool verified) const;

private:
    ControlHTTPReply status();
    ControlHTTPReply switchOutput(bool enabled);

    SerialSession& session_;
    const DeviceIdentity identity_;
    OutputRequestQueue outputQueue_;
};

}  // namespace varek
