#include "varek/safety_ceilings.hpp"

#include "varek/format.hpp"

namespace varek {

std::string CeilingBreach::message() const {
    const std::string unit = voltage ? " V" : " A";
    const std::string limit = "the ceiling of " + formatFixed2(ceiling / 100.0) + unit;
    if (present) {
        return std::string("the supply's present ") + (voltage ? "voltage setpoint " : "current limit ") +
               formatFixed2(value / 100.0) + unit + " is above " + limit + "; set it as well";
    }
    return std::string(voltage ? "voltage_V " : "current_limit_A ") + formatFixed2(value / 100.0) + unit +
           " exceeds " + limit;
}

std::string CeilingBreach::alert() const {
    const std::string unit = voltage ? " V" : " A";
    const std::string what = voltage ? "电压设定" : "电流设定";
    if (present) {
        return "电源当前的" + what + " " + formatFixed2(value / 100.0) + unit + " 超过安全上限 " +
               formatFixed2(ceiling / 100.0) + unit + "，请一并设定。";
    }
    return what + "超过安全上限 " + formatFixed2(ceiling / 100.0) + unit + "。";
}

std::optional<CeilingBreach> SafetyCeilings::breach(std::uint16_t voltage, std::uint16_t current, bool presentVoltage,
                                                    bool presentCurrent) const noexcept {
    if (voltage > voltageCenti) return CeilingBreach{true, voltage, voltageCenti, presentVoltage};
    if (current > currentCenti) return CeilingBreach{false, current, currentCenti, presentCurrent};
    return std::nullopt;
}

}  // namespace varek
