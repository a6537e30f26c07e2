#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varek {

using SystemClock = std::chrono::system_clock;
using Timestamp = SystemClock::time_point;

/// What the one supported supply can do, and how it is named and addressed. The
/// session, SCPI, the desktop application and the simulator all take them from here.
namespace Supply {
/// The designation shown to users ("RD6030 / Max").
inline constexpr std::string_view designation = "RD6030 / Max";
/// Setpoint ceilings in hundredths (60.00 V, 30.00 A) and in volts / amperes.
inline constexpr std::uint16_t voltageCentiMax = 6000;
inline constexpr std::uint16_t currentCentiMax = 3000;
inline constexpr double voltageMax = voltageCentiMax / 100.0;
inline constexpr double currentMax = currentCentiMax / 100.0;
/// Modbus station addresses the supply accepts.
inline constexpr unsigned stationMin = 1;
inline constexpr unsigned stationMax = 247;
inline constexpr bool validStation(long long station) noexcept {
    return station >= stationMin && station <= stationMax;
}
/// The upper end of a setpoint's range in whole units, as messages name it ("60", "30").
inline std::string wholeLimit(bool voltage) {
    return std::to_string((voltage ? voltageCentiMax : currentCentiMax) / 100);
}
}  // namespace Supply

/// Identity block of the supply: registers 0..3.
struct DeviceIdentity {
    static constexpr std::uint16_t supportedModel = 60301;
    static constexpr std::uint16_t start = 0;
    static constexpr std::uint16_t count = 4;

    std::uint16_t model = 0;
    std::uint32_t serial = 0;
    double firmware = 0;

    /// Decodes exactly 4 registers; throws invalid "设备身份数据不完整。" or `unsupported`.
    static DeviceIdentity fromRegisters(std::span<const std::uint16_t> registers);
    /// The same supply: model, serial and firmware (as decoded doubles) all equal.
    bool sameSupply(const DeviceIdentity& other) const noexcept {
        return model == other.model && serial == other.serial && firmware == other.firmware;
    }
};

/// A random (version 4) UUID.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid random();
    /// Lower-case 8-4-4-4-12 form.
    std::string toString() const;
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

/// One decoded status read (registers 4..41).
struct PowerSample {
    static constexpr std::uint16_t start = 4;
    static constexpr std::uint16_t count = 38;

    Uuid id;
    Timestamp time;
    double voltageSet = 0;
    double currentSet = 0;
    double voltage = 0;
    double current = 0;
    double power = 0;
    double inputVoltage = 0;
    double temperature = 0;
    bool outputEnabled = false;
    std::uint16_t protection = 0;
    std::uint16_t mode = 0;
    double capacity = 0;
    double energy = 0;

    /// Decodes exactly 38 registers with a fresh id; throws invalid "状态数据不完整。".
    static PowerSample fromRegisters(std::span<const std::uint16_t> registers, Timestamp time);
    /// "保护正常", "过压保护", "过流保护", "过温保护" or "保护状态 N".
    std::string protectionName() const;
    /// "恒压 CV", "恒流 CC" or "模式 N".
    std::string modeName() const;
};

/// Register addresses the system writes.
namespace Register {
inline constexpr std::uint16_t voltageSet = 8;
inline constexpr std::uint16_t currentSet = 9;
inline constexpr std::uint16_t output = 18;
}  // namespace Register

}  // namespace varek
