// varek-read: connects, reads the supply without ever writing to it, prints JSON.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/option_number.hpp"
#include "varek/serial_session.hpp"

namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

constexpr int baud = 115200;
constexpr std::uint8_t station = 1;
constexpr int benchmarkSamples = 100;
constexpr std::string_view usageLine =
    "Usage: varek-read <port> [--benchmark 1|2|5|10] (115200, station 1, reads only)\n";

/// The only Modbus function this tool ever sends: read holding registers.
Json functionsSent() { return Json::array({3}); }

/// A rate of 1, 2, 5 or 10 written as a decimal integer (a leading '+' allowed).
int benchmarkRate(std::string_view text) {
    const auto rate = varek::optionNumber(text, 1, 10);
    if (!rate || (*rate != 1 && *rate != 2 && *rate != 5 && *rate != 10))
        throw varek::VarekError::invalid("benchmark rate must be 1, 2, 5 or 10");
    return static_cast<int>(*rate);
}

Json readingReport(const varek::DeviceIdentity& identity, const varek::PowerSample& sample) {
    return Json{
        {"timestamp", varek::iso8601(sample.time)},
        {"model", identity.model},
        {"firmware", identity.firmware},
        {"voltage_V", sample.voltage},
        {"current_A", sample.current},
        {"power_W", sample.power},
        {"voltage_set_V", sample.voltageSet},
        {"current_limit_A", sample.currentSet},
        {"output_enabled", sample.outputEnabled},
        {"mode", sample.modeName()},
        {"protection", sample.protectionName()},
        {"functions_sent", functionsSent()},
    };
}

/// Reads `benchmarkSamples` samples paced from one start time, so a slow supply
/// makes the requests run back to back instead of drifting the schedule.
Json benchmarkReport(varek::SerialSession& session, const varek::DeviceIdentity& identity, int rate) {
    const auto t0 = SteadyClock::now();
    const std::chrono::nanoseconds interval{1'000'000'000LL / rate};
    double firstStart = 0, lastStart = 0, totalMs = 0, maxMs = 0;
    for (int i = 0; i < benchmarkSamples; ++i) {
        const auto target = t0 + i * interval;
        if (SteadyClock::now() < target) std::this_thread::sleep_until(target);
        const auto started = SteadyClock::now();
        const double start = std::chrono::duration<double>(started - t0).count();
        session.sample();
        const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - started).count();
        if (i == 0) firstStart = start;
        lastStart = start;
        totalMs += ms;
        maxMs = std::max(maxMs, ms);
    }
    return Json{
        {"model", identity.model},
        {"firmware", identity.firmware},
        {"target_hz", rate},
        {"samples_passed", benchmarkSamples},
        {"actual_hz", (benchmarkSamples - 1) / (lastStart - firstStart)},
        {"mean_response_ms", totalMs / benchmarkSamples},
        {"max_response_ms", maxMs},
        {"functions_sent", functionsSent()},
        {"finished_at", varek::iso8601(varek::SystemClock::now())},
    };
}

/// Pretty text with ascending keys. The writer emits null for a non-finite number,
/// so the output stays valid JSON; invalid UTF-8 throws and ends the run with 1.
void print(const Json& report) {
    const std::string text = report.dump(2) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int run(const std::string& port, const char* rateText) {
    varek::SerialSession session;
    try {
        const varek::DeviceIdentity identity = session.connect(port, baud, station);
        if (rateText == nullptr) {
            print(readingReport(identity, session.sample()));
        } else {
            const int rate = benchmarkRate(rateText);
            print(benchmarkReport(session, identity, rate));
        }
        session.disconnect();
        return 0;
    } catch (const std::exception& error) {
        session.disconnect();
        const std::string line = std::string(error.what()) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool single = argc == 2;
    const bool benchmark = argc == 4 && std::string_view(argv[2]) == "--benchmark";
    if (!single && !benchmark) {
        std::fwrite(usageLine.data(), 1, usageLine.size(), stdout);
        return 2;
    }
    return run(argv[1], benchmark ? argv[3] : nullptr);
}
