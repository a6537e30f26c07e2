#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "varek/device.hpp"
#include "varek/protocol.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek::sim {

/// The supply's holding registers and a resistive-load model behind them.
/// Not thread-safe: the simulator guards it with its own mutex.
class SupplyModel {
public:
    using Clock = std::chrono::steady_clock;

    explicit SupplyModel(const SimulatorOptions& options, Clock::time_point now = Clock::now());

    /// Brings the measured registers and counters up to `now`.
    void update(Clock::time_point now);
    /// Raw register value as last computed (call `update` first for fresh readings).
    std::uint16_t reg(std::uint16_t address) const { return registers_[address]; }
    /// Sets a register as the front panel would; a measured register stays pinned
    /// at the value from then on, so tests can stage any reading.
    void setReg(std::uint16_t address, std::uint16_t value);
    void setSerial(std::uint32_t serial);
    void setOutputStuck(bool stuck) { outputStuck_ = stuck; }
    /// Setpoint writes (registers 8, 9) are acknowledged but no longer stored.
    void setSetpointsStuck(bool stuck) { setpointsStuck_ = stuck; }
    std::uint8_t station() const { return station_; }

    /// The reply to a CRC-valid request frame; nothing for another station.
    std::optional<Bytes> handle(ByteView request, Clock::time_point now);
    /// An exception reply to `request` with `code`.
    static Bytes exceptionReply(ByteView request, std::uint8_t code);

private:
    Bytes readReply(ByteView request);
    Bytes writeSingleReply(ByteView request);
    Bytes writeMultipleReply(ByteView request);
    /// Exception code for a value the register refuses, or 0.
    std::uint8_t refusal(std::uint16_t address, std::uint16_t value) const;
    void applyWrite(std::uint16_t address, std::uint16_t value);
    void store(std::uint16_t address, std::uint16_t value);
    void storePair(std::uint16_t high, std::uint32_t value);

    std::vector<std::uint16_t> registers_;
    std::vector<bool> pinned_;
    std::uint8_t station_;
    double loadOhms_;
    bool outputStuck_ = false;
    bool setpointsStuck_ = false;
    double capacity_ = 0;  // ampere-hours
    double energy_ = 0;    // watt-hours
    Clock::time_point last_;
};

}  // namespace varek::sim
