#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "varek/device.hpp"

namespace varek {

/// Upper bounds a user sets for setpoint writes, below the supply's own limits.
/// The defaults are the supply's limits, so a default value refuses nothing more.
struct SafetyCeilings {
    std::uint16_t voltageCenti = Supply::voltageCentiMax;  ///< highest voltage setpoint, hundredths
    std::uint16_t currentCenti = Supply::currentCentiMax;  ///< highest current limit, hundredths

    /// The voltage ceiling in volts.
    double voltage() const noexcept { return voltageCenti / 100.0; }
    /// The current ceiling in amperes.
    double current() const noexcept { return currentCenti / 100.0; }
    /// True when both hundredths values are within the ceilings.
    bool allows(std::uint16_t voltage, std::uint16_t current) const noexcept {
        return voltage <= voltageCenti && current <= currentCenti;
    }
    friend bool operator==(const SafetyCeilings&, const SafetyCeilings&) = default;
};

}  // namespace varek
