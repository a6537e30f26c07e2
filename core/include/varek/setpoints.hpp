#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "varek/json.hpp"
#include "varek/safety_ceilings.hpp"

namespace varek {

/// Hundredths of a JSON number in 0..maximum with at most two decimals; nothing otherwise.
std::optional<std::uint16_t> centiOf(const Json& value, double maximum);
/// Hundredths of setpoint `field` ("voltage_V" or "current_limit_A") of `value`;
/// throws VarekError::invalid naming the field, the supply's range or the ceiling.
std::uint16_t setpointField(std::string_view field, const Json& value, const SafetyCeilings& ceilings);

/// A setpoint change asked for over the API, in hundredths; at least one is present.
struct SetpointRequest {
    std::optional<std::uint16_t> voltage;  ///< hundredths of a volt
    std::optional<std::uint16_t> current;  ///< hundredths of an ampere

    /// Parses a POST /v1/setpoints body: an object with `voltage_V` and/or
    /// `current_limit_A`. Throws VarekError::invalid whose text is the client's message.
    static SetpointRequest parse(std::string_view body, const SafetyCeilings& ceilings);
    /// "setpoints 5.00 V 1.00 A": what was asked, for audit lines.
    std::string describe() const;
};

}  // namespace varek
