#include "sim_commands.hpp"

#include <charconv>
#include <limits>
#include <optional>
#include <vector>

#include "varek/device.hpp"

namespace varek::sim {
namespace {

template <typename T>
std::optional<T> number(std::string_view text, int base = 10) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> positive(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !(value > 0) ||
        value > 1e9) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (!line.empty()) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) break;
        line.remove_prefix(start);
        const auto end = line.find_first_of(" \t");
        out.push_back(line.substr(0, end));
        line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    }
    return out;
}

std::optional<bool> onOff(std::string_view word) {
    if (word == "on") return true;
    if (word == "off") return false;
    return std::nullopt;
}

bool applyOption(std::string_view name, std::string_view value, ProgramOptions& options) {
    SimulatorOptions& sim = options.simulator;
    if (name == "--link") {
        options.linkPath = value;
    } else if (name == "--log") {
        options.logPath = value;
    } else if (name == "--serial") {
        const auto n = number<std::uint32_t>(value);
        if (!n) return false;
        sim.serial = *n;
    } else if (name == "--firmware") {
        const auto n = number<std::uint16_t>(value);
        if (!n) return false;
        sim.firmwareHundredths = *n;
    } else if (name == "--station") {
        const auto n = number<unsigned>(value);
        if (!n || !Supply::validStation(*n)) return false;
        sim.station = static_cast<std::uint8_t>(*n);
    } else if (name == "--load") {
        const auto ohms = positive(value);
        if (!ohms) return false;
        sim.loadOhms = *ohms;
    } else if (name == "--latency") {
        const auto ms = number<unsigned>(value);
        if (!ms || *ms > 60000) return false;
        sim.latency = std::chrono::milliseconds(*ms);
    } else if (name == "--baud") {
        const auto baud = number<int>(value);
        if (!baud || *baud < 0) return false;
        sim.wireBaud = *baud;
    } else {
        return false;
    }
    return !value.empty();
}

std::string faultCommand(SupplySimulator& sim, const std::vector<std::string_view>& w) {
    const std::string_view name = w[0];
    const std::string_view arg = w.size() > 1 ? w[1] : std::string_view{};
    if (name == "silent" || name == "stuck" || name == "stuck-setpoints") {
        const auto on = onOff(arg);
        if (!on || w.size() != 2) return "error: expected on or off";
        if (name == "silent") sim.setSilent(*on);
        else if (name == "stuck") sim.setOutputStuck(*on);
        else sim.setSetpointsStuck(*on);
    } else if (name == "latency") {
        const auto ms = number<unsigned>(arg);
        if (!ms || w.size() != 2 || *ms > 60000) return "error: expected milliseconds";
        sim.setLatency(std::chrono::milliseconds(*ms));
    } else if (name == "baud" || name == "split" || name == "crc") {
        const auto n = number<int>(arg);
        if (!n || *n < 0 || w.size() != 2) return "error: expected a count";
        if (name == "baud") sim.setWireBaud(*n);
        if (name == "split") sim.setSplitReply(*n);
        if (name == "crc") sim.corruptNextCrc(*n);
    } else if (name == "stray") {
        Bytes bytes;
        for (std::size_t i = 1; i < w.size(); ++i) {
            const auto byte = w[i].size() <= 2 ? number<std::uint8_t>(w[i], 16) : std::nullopt;
            if (!byte) return "error: expected hex bytes";
            bytes.push_back(*byte);
        }
        sim.setStrayBytes(std::move(bytes));
    } else if (name == "exception") {
        const auto code = number<std::uint8_t>(arg);
        if (w.size() != 2 || (!code && arg != "off")) return "error: expected a code or off";
        sim.setExceptionCode(code);
    } else if (name == "serial") {
        const auto serial = number<std::uint32_t>(arg);
        if (!serial || w.size() != 2) return "error: expected a serial number";
        sim.setSerial(*serial);
    } else {
        return "error: unknown command";
    }
    return "ok";
}

}  // namespace

bool parseOptions(int argc, char** argv, ProgramOptions& options) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !applyOption(argv[i], argv[i + 1], options)) return false;
    }
    return true;
}

std::string runCommand(SupplySimulator& sim, std::string_view line) {
    const auto w = words(line);
    if (w.empty()) return "error: empty command";
    if (w[0] == "get") {
        const auto reg = w.size() == 2 ? number<std::uint16_t>(w[1]) : std::nullopt;
        if (!reg) return "error: expected a register";
        return std::to_string(sim.reg(*reg));
    }
    if (w[0] == "set") {
        const auto reg = w.size() == 3 ? number<std::uint16_t>(w[1]) : std::nullopt;
        const auto value = w.size() == 3 ? number<std::uint16_t>(w[2]) : std::nullopt;
        if (!reg || !value) return "error: expected a register and a value";
        sim.setReg(*reg, *value);
        return "ok";
    }
    if (w.size() == 1 && w[0] == "hangup") {
        sim.hangUp();
        return "ok";
    }
    if (w.size() == 1 && w[0] == "requests") return std::to_string(sim.requestCount());
    if (w.size() == 1 && w[0] == "clear") {
        sim.clearRequests();
        return "ok";
    }
    return faultCommand(sim, w);
}

std::string hexLine(ByteView bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string line;
    for (std::uint8_t byte : bytes) {
        if (!line.empty()) line.push_back(' ');
        line.push_back(digits[byte >> 4]);
        line.push_back(digits[byte & 0x0F]);
    }
    return line;
}

}  // namespace varek::sim
