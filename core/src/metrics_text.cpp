#include "varek/metrics_text.hpp"

#include <chrono>

#include "varek/format.hpp"

namespace varek {
namespace {

/// Label values may hold any text; these three would end the value or the line.
std::string escaped(std::string_view value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void gauge(std::string& out, std::string_view name, std::string_view help, double value) {
    family(out, name, "gauge", help);
    out.append(name).append(" ").append(formatShortest(value)).append("\n");
}

void readings(std::string& out, const PowerSample& s) {
    gauge(out, "varek_output_voltage_volts", "Measured output voltage.", s.voltage);
    gauge(out, "varek_output_current_amperes", "Measured output current.", s.current);
    gauge(out, "varek_output_power_watts", "Measured output power.", s.power);
    gauge(out, "varek_voltage_setpoint_volts", "Voltage setpoint.", s.voltageSet);
    gauge(out, "varek_current_limit_amperes", "Current limit.", s.currentSet);
    gauge(out, "varek_input_voltage_volts", "Input voltage of the supply.", s.inputVoltage);
    gauge(out, "varek_temperature_celsius", "Internal temperature.", s.temperature);
    gauge(out, "varek_output_enabled", "1 while the output is switched on.", s.outputEnabled ? 1 : 0);
    gauge(out, "varek_protection_code", "Protection state register (0 = none).", s.protection);
    gauge(out, "varek_regulation_mode_code", "Regulation mode register (0 = CV, 1 = CC).", s.mode);
    gauge(out, "varek_capacity", "Capacity counter, register value / 1000 (ampere-hours).", s.capacity);
    gauge(out, "varek_energy", "Energy counter, register value / 1000 (watt-hours).", s.energy);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(s.time.time_since_epoch()).count();
    gauge(out, "varek_sample_timestamp_seconds", "When the latest sample was read (Unix time).",
          static_cast<double>(millis) / 1000.0);
}

}  // namespace

std::string_view transactionLabel(const std::optional<VarekError>& error) noexcept {
    if (!error) return "ok";
    switch (error->kind()) {
        case VarekError::Case::invalid: return "invalid";
        case VarekError::Case::io: return "io";
        case VarekError::Case::exception: return "exception";
        case VarekError::Case::unsupported: return "unsupported";
        case VarekError::Case::timeout: return "timeout";
        case VarekError::Case::crc: return "crc";
        case VarekError::Case::readback: return "readback";
        case VarekError::Case::identityChanged: return "identity_changed";
    }
    return "io";
}

const std::map<std::string, std::uint64_t>& zeroTransactionCounts() {
    static const std::map<std::string, std::uint64_t> zero{
        {"ok", 0}, {"timeout", 0}, {"crc", 0}, {"exception", 0}, {"io", 0}, {"invalid", 0}, {"identity_changed", 0}};
    return zero;
}

std::string metricsExposition(const MetricsSnapshot& m) {
    std::string out;
    out.reserve(4096);
    gauge(out, "varek_up", "1 while the latest poll succeeded and is at most 3 periods old.", m.up ? 1 : 0);
    family(out, "varek_info", "gauge", "Identity of the supply and the server's source revision.");
    out.append("varek_info{model=\"").append(std::to_string(m.identity.model));
    out.append("\",serial=\"").append(std::to_string(m.identity.serial));
    out.append("\",firmware=\"").append(escaped(formatFixed2(m.identity.firmware)));
    out.append("\",source_sha=\"").append(escaped(m.sourceSHA)).append("\"} 1\n");
    if (m.up && m.sample) readings(out, *m.sample);
    family(out, "varek_link_transactions_total", "counter", "Modbus transactions on the serial port by result.");
    for (const auto& [result, count] : m.transactions) {
        out.append("varek_link_transactions_total{result=\"").append(escaped(result)).append("\"} ");
        out.append(std::to_string(count)).append("\n");
    }
    family(out, "varek_link_reconnects_total", "counter", "Times the supply was opened again after a loss.");
    out.append("varek_link_reconnects_total ").append(std::to_string(m.reconnects)).append("\n");
    family(out, "varek_http_requests_total", "counter", "HTTP control API replies by status code.");
    for (const auto& [code, count] : m.httpRequests) {
        out.append("varek_http_requests_total{code=\"").append(std::to_string(code)).append("\"} ");
        out.append(std::to_string(count)).append("\n");
    }
    gauge(out, "varek_scpi_connections", "Open SCPI connections.", static_cast<double>(m.scpiConnections));
    return out;
}

}  // namespace varek
