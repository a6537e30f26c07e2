#include "varek/device.hpp"

#include <random>

#include "varek/error.hpp"

namespace varek {
namespace {

double pair(std::span<const std::uint16_t> r, std::size_t high) {
    return static_cast<double>((std::uint32_t{r[high]} << 16) | r[high + 1]);
}

}  // namespace

DeviceIdentity DeviceIdentity::fromRegisters(std::span<const std::uint16_t> r) {
    if (r.size() != count) throw VarekError::invalid("设备身份数据不完整。");
    if (r[0] != supportedModel) throw VarekError::unsupported(r[0]);
    DeviceIdentity identity;
    identity.model = r[0];
    identity.serial = (std::uint32_t{r[1]} << 16) | r[2];
    identity.firmware = r[3] / 100.0;
    return identity;
}

Uuid Uuid::random() {
    // Sample ids need uniqueness, not secrecy: a per-thread engine seeded once
    // from the system's generator keeps polling free of a syscall per sample.
    thread_local std::mt19937_64 engine{[] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }()};
    Uuid uuid;
    for (std::size_t i = 0; i < 16; i += 8) {
        const std::uint64_t word = engine();
        for (std::size_t j = 0; j < 8; ++j) uuid.bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);
    uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);
    return uuid;
}

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

PowerSample PowerSample::fromRegisters(std::span<const std::uint16_t> registers, Timestamp time) {
    if (registers.size() != count) throw VarekError::invalid("状态数据不完整。");
    // Index by absolute address so the code reads like the register map.
    auto at = [&](std::size_t address) { return registers[address - start]; };
    PowerSample s;
    s.id = Uuid::random();
    s.time = time;
    s.voltageSet = at(8) / 100.0;
    s.currentSet = at(9) / 100.0;
    s.voltage = at(10) / 100.0;
    s.current = at(11) / 100.0;
    s.power = pair(registers, 12 - start) / 100.0;
    s.inputVoltage = at(14) / 100.0;
    s.temperature = at(4) == 1 ? -static_cast<double>(at(5)) : static_cast<double>(at(5));
    s.outputEnabled = at(18) != 0;
    s.protection = at(16);
    s.mode = at(17);
    s.capacity = pair(registers, 38 - start) / 1000.0;
    s.energy = pair(registers, 40 - start) / 1000.0;
    return s;
}

std::string PowerSample::protectionName() const {
    switch (protection) {
    case 0: return "保护正常";
    case 1: return "过压保护";
    case 2: return "过流保护";
    case 3: return "过温保护";
    default: return "保护状态 " + std::to_string(protection);
    }
}

std::string PowerSample::modeName() const {
    switch (mode) {
    case 0: return "恒压 CV";
    case 1: return "恒流 CC";
    default: return "模式 " + std::to_string(mode);
    }
}

}  // namespace varek
