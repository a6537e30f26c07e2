#include "varek/setpoints.hpp"

#include <cmath>
#include <string>

#include "varek/error.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

[[noreturn]] void refuse(std::string message) { throw VarekError::invalid(std::move(message)); }

}  // namespace

std::optional<std::uint16_t> centiOf(const Json& value, double maximum) {
    if (!value.is_number()) return std::nullopt;
    const double number = value.get<double>();
    if (!std::isfinite(number) || number < 0 || number > maximum) return std::nullopt;
    const double scaled = number * 100;
    const double whole = std::round(scaled);
    // Binary doubles miss most decimals by a few ulps; a third decimal misses by 0.1 at least.
    if (std::fabs(scaled - whole) > 1e-6) return std::nullopt;
    return static_cast<std::uint16_t>(whole);
}

std::uint16_t setpointField(std::string_view field, const Json& value, const SafetyCeilings& ceilings) {
    const bool voltage = field == "voltage_V";
    const auto centi = centiOf(value, voltage ? Supply::voltageMax : Supply::currentMax);
    if (!centi) {
        refuse(std::string(field) + " must be a number from 0 to " + Supply::wholeLimit(voltage) +
               " with at most two decimals");
    }
    const std::uint16_t ceiling = voltage ? ceilings.voltageCenti : ceilings.currentCenti;
    if (*centi > ceiling) {
        refuse(std::string(field) + " exceeds the ceiling of " + formatFixed2(ceiling / 100.0) +
               (voltage ? " V" : " A"));
    }
    return *centi;
}

SetpointRequest SetpointRequest::parse(std::string_view body, const SafetyCeilings& ceilings) {
    const Json object = Json::parse(body, nullptr, false);
    if (object.is_discarded()) refuse("the body is not valid JSON");
    if (!object.is_object()) refuse("the body must be a JSON object");
    SetpointRequest request;
    for (const auto& [key, value] : object.items()) {
        if (key == "voltage_V") {
            request.voltage = setpointField(key, value, ceilings);
        } else if (key == "current_limit_A") {
            request.current = setpointField(key, value, ceilings);
        } else {
            refuse("unknown field \"" + key + "\"");
        }
    }
    if (!request.voltage && !request.current) refuse("voltage_V or current_limit_A is required");
    return request;
}

std::string SetpointRequest::describe() const {
    std::string asked = "setpoints";
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on " " + string&&.
    if (voltage) asked.append(" ").append(formatFixed2(*voltage / 100.0)).append(" V");
    if (current) asked.append(" ").append(formatFixed2(*current / 100.0)).append(" A");
    return asked;
}

}  // namespace varek
