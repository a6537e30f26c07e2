#include "supply_model.hpp"

#include <algorithm>
#include <cmath>

namespace varek::sim {
namespace {

constexpr std::uint8_t illegalFunction = 1;
constexpr std::uint8_t illegalAddress = 2;
constexpr std::uint8_t illegalValue = 3;

std::uint16_t word(ByteView frame, std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
}

void pushWord(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::uint16_t hundredths(double value) {
    return static_cast<std::uint16_t>(std::clamp(std::lround(value * 100), 0L, 65535L));
}

}  // namespace

SupplyModel::SupplyModel(const SimulatorOptions& options, Clock::time_point now)
    : registers_(65536, 0),
      pinned_(65536, false),
      station_(options.station),
      loadOhms_(options.loadOhms > 0 ? options.loadOhms : 10.0),
      last_(now) {
    registers_[0] = options.model;
    setSerial(options.serial);
    registers_[3] = options.firmwareHundredths;
    registers_[Register::voltageSet] = 500;
    registers_[Register::currentSet] = 100;
    update(now);
}

void SupplyModel::setSerial(std::uint32_t serial) {
    registers_[1] = static_cast<std::uint16_t>(serial >> 16);
    registers_[2] = static_cast<std::uint16_t>(serial & 0xFFFF);
}

void SupplyModel::setReg(std::uint16_t address, std::uint16_t value) {
    registers_[address] = value;
    const bool state = address <= 3 || address == Register::voltageSet ||
                       address == Register::currentSet || address == Register::output;
    if (!state) pinned_[address] = true;
}

void SupplyModel::store(std::uint16_t address, std::uint16_t value) {
    if (!pinned_[address]) registers_[address] = value;
}

void SupplyModel::storePair(std::uint16_t high, std::uint32_t value) {
    store(high, static_cast<std::uint16_t>(value >> 16));
    store(static_cast<std::uint16_t>(high + 1), static_cast<std::uint16_t>(value & 0xFFFF));
}

void SupplyModel::update(Clock::time_point now) {
    const double hours = std::chrono::duration<double>(now - last_).count() / 3600.0;
    last_ = std::max(last_, now);
    // Counters integrate what flowed since the last update, before the new state applies.
    const double oldCurrent = registers_[11] / 100.0;
    const double oldPower = ((std::uint32_t{registers_[12]} << 16) | registers_[13]) / 100.0;
    if (hours > 0) {
        capacity_ += oldCurrent * hours;
        energy_ += oldPower * hours;
    }

    double volts = 0;
    double amps = 0;
    std::uint16_t mode = 0;
    if (registers_[Register::output] != 0) {
        const double target = registers_[Register::voltageSet] / 100.0;
        const double limit = registers_[Register::currentSet] / 100.0;
        volts = target;
        amps = target / loadOhms_;
        if (amps > limit) {  // the load wants more than the limit: constant current
            amps = limit;
            volts = std::min(target, limit * loadOhms_);
            mode = 1;
        }
    }
    const double watts = volts * amps;
    store(4, 0);
    store(5, static_cast<std::uint16_t>(25 + std::min(10.0, std::floor(watts / 30.0))));
    store(10, hundredths(volts));
    store(11, hundredths(amps));
    storePair(12, static_cast<std::uint32_t>(std::lround(watts * 100)));
    store(14, static_cast<std::uint16_t>(6400 - std::lround(amps * 5)));
    store(16, 0);
    store(17, mode);
    storePair(38, static_cast<std::uint32_t>(std::fmod(capacity_ * 1000, 4294967296.0)));
    storePair(40, static_cast<std::uint32_t>(std::fmod(energy_ * 1000, 4294967296.0)));
}

Bytes SupplyModel::exceptionReply(ByteView request, std::uint8_t code) {
    const std::uint8_t body[] = {request[0], static_cast<std::uint8_t>(request[1] | 0x80), code};
    return Modbus::framed(body);
}

std::optional<Bytes> SupplyModel::handle(ByteView request, Clock::time_point now) {
    if (request.size() < 4 || request[0] != station_) return std::nullopt;
    update(now);
    Bytes reply;
    switch (request[1]) {
    case Modbus::readHolding: reply = readReply(request); break;
    case Modbus::writeSingle: reply = writeSingleReply(request); break;
    case Modbus::writeMultiple: reply = writeMultipleReply(request); break;
    default: return exceptionReply(request, illegalFunction);
    }
    update(now);
    return reply;
}

Bytes SupplyModel::readReply(ByteView request) {
    if (request.size() != 8) return exceptionReply(request, illegalValue);
    const std::uint16_t start = word(request, 2);
    const std::uint16_t count = word(request, 4);
    if (count < 1 || count > 125) return exceptionReply(request, illegalValue);
    if (std::uint32_t{start} + count > 65536) return exceptionReply(request, illegalAddress);
    Bytes body{request[0], request[1], static_cast<std::uint8_t>(2 * count)};
    for (std::uint32_t i = 0; i < count; ++i) pushWord(body, registers_[start + i]);
    return Modbus::framed(body);
}

std::uint8_t SupplyModel::refusal(std::uint16_t address, std::uint16_t value) const {
    if (address == Register::voltageSet && value > Supply::voltageCentiMax) return illegalValue;
    if (address == Register::currentSet && value > Supply::currentCentiMax) return illegalValue;
    return 0;
}

void SupplyModel::applyWrite(std::uint16_t address, std::uint16_t value) {
    if (address == Register::voltageSet || address == Register::currentSet) {
        if (!setpointsStuck_) registers_[address] = value;
    } else if (address == Register::output && !outputStuck_) {
        registers_[address] = value != 0 ? 1 : 0;
    }
    // Every other register is read-only on the supply: acknowledged, not stored.
}

Bytes SupplyModel::writeSingleReply(ByteView request) {
    if (request.size() != 8) return exceptionReply(request, illegalValue);
    const std::uint16_t address = word(request, 2);
    const std::uint16_t value = word(request, 4);
    if (const std::uint8_t code = refusal(address, value)) return exceptionReply(request, code);
    applyWrite(address, value);
    return Bytes(request.begin(), request.end());
}

Bytes SupplyModel::writeMultipleReply(ByteView request) {
    if (request.size() < 9) return exceptionReply(request, illegalValue);
    const std::uint16_t start = word(request, 2);
    const std::uint16_t count = word(request, 4);
    if (count < 1 || count > 123 || request[6] != 2 * count || request.size() != 9u + 2 * count) {
        return exceptionReply(request, illegalValue);
    }
    if (std::uint32_t{start} + count > 65536) return exceptionReply(request, illegalAddress);
    // All or nothing: one refused value refuses the whole write.
    for (std::uint16_t i = 0; i < count; ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        if (const std::uint8_t code = refusal(address, word(request, 7 + 2 * i))) {
            return exceptionReply(request, code);
        }
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        applyWrite(static_cast<std::uint16_t>(start + i), word(request, 7 + 2 * i));
    }
    return Modbus::framed(request.first(6));
}

}  // namespace varek::sim
