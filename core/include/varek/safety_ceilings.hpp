#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "varek/device.hpp"

namespace varek {

/// A setpoint above a ceiling: which one, its value and the ceiling, all in hundredths.
struct CeilingBreach {
    bool voltage = true;        ///< the voltage setpoint, else the current limit
    std::uint16_t value = 0;    ///< the value the write would carry
    std::uint16_t ceiling = 0;  ///< the ceiling it is above
    /// True when the value is the supply's own setpoint, which a write of the other
    /// setpoint would carry along unchanged.
    bool present = false;

    /// The clients' message (HTTP, sequences): names the value and the ceiling.
    std::string message() const;
    /// The desktop application's alert.
    std::string alert() const;
};

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
    /// The first of the two values (voltage first) above its ceiling; `presentVoltage` /
    /// `presentCurrent` mark a value as the supply's own, kept by the write.
    std::optional<CeilingBreach> breach(std::uint16_t voltage, std::uint16_t current, bool presentVoltage = false,
                                        bool presentCurrent = false) const noexcept;
    friend bool operator==(const SafetyCeilings&, const SafetyCeilings&) = default;
};

/// Thrown before anything is written when a write would carry a value above a ceiling.
class CeilingRefused : public std::runtime_error {
public:
    explicit CeilingRefused(const CeilingBreach& breach) : std::runtime_error(breach.message()), breach_(breach) {}
    /// What was refused.
    const CeilingBreach& breach() const noexcept { return breach_; }

private:
    CeilingBreach breach_;
};

}  // namespace varek
