#pragma once

#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/http.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

/// The bodies of a supply's HTTP API, each in one place for both programs.

/// varek-server's status body: ten keys, the sample's output and readings, the identity.
Json statusBody(const PowerSample& sample, const DeviceIdentity& identity, bool verified);
/// The GET /v1/sample body: every value of `sample` and the identity, 20 keys.
Json sampleBody(const PowerSample& sample, const DeviceIdentity& identity);
/// `statusBody` with `voltage_set_V` and `current_limit_A` of `confirmed` and `verified` true.
Json setpointsBody(Json statusBody, const PowerSample& confirmed);
/// The body of GET /v1/sequence and of the other sequence routes.
Json progressBody(const SequenceProgress& progress);

/// 400 {"ok":false,"error":"invalid_request","message":message}.
ControlHTTPReply invalidRequest(std::string_view message);
/// 409 {"ok":false,"error":"sequence_running","name":the running profile}.
ControlHTTPReply sequenceRunning(const SequenceProgress& progress);
/// 404 {"ok":false,"error":"no_sequence"}.
ControlHTTPReply noSequence();
/// 502: the write or its read-back failed; `message` says why.
ControlHTTPReply notConfirmed(const std::string& message);
/// 503 {"ok":false,"connected":false,"error":"power_supply_unavailable"}. The failure's
/// text stays with the program: clients only learn that the supply is away.
ControlHTTPReply unavailable();
/// 503 {"ok":false,"error":error,"verified":false}: the desktop application's answer to
/// a write it cannot start ("power_supply_unavailable") or whose connection changed.
ControlHTTPReply unverified(std::string_view error);

}  // namespace varek
