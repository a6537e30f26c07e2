#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/http.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

/// A setpoint change asked for over the API, in hundredths; at least one is present.
struct SetpointRequest {
    std::optional<std::uint16_t> voltage;  ///< hundredths of a volt
    std::optional<std::uint16_t> current;  ///< hundredths of an ampere

    /// Parses a POST /v1/setpoints body: an object with `voltage_V` and/or
    /// `current_limit_A`. Throws VarekError::invalid whose text is the client's message.
    static SetpointRequest parse(std::string_view body, const SafetyCeilings& ceilings);
};

/// Hundredths of a JSON number in 0..maximum with at most two decimals; nothing otherwise.
std::optional<std::uint16_t> centiOf(const Json& value, double maximum);
/// Hundredths of setpoint `field` ("voltage_V" or "current_limit_A") of `value`;
/// throws VarekError::invalid naming the field, the supply's range or the ceiling.
std::uint16_t setpointField(std::string_view field, const Json& value, const SafetyCeilings& ceilings);

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

}  // namespace varek
