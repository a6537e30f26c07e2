#include "varek/scpi_instrument.hpp"

#include <array>
#include <vector>

#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/protocol.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

constexpr std::string_view lineSpace = " \t\n\v\f\r";
constexpr std::string_view blanks = " \t";

struct Keyword {
    std::string_view longForm;
    std::string_view shortForm;
};

constexpr std::array<Keyword, 17> keywords{{
    {"OUTPUT", "OUTP"},     {"STATE", "STAT"},    {"VOLTAGE", "VOLT"},  {"CURRENT", "CURR"},
    {"MEASURE", "MEAS"},    {"POWER", "POW"},     {"SOURCE", "SOUR"},   {"SYSTEM", "SYST"},
    {"ERROR", "ERR"},       {"INSTRUMENT", "INST"}, {"SELECT", "SEL"},  {"NSELECT", "NSEL"},
    {"VERSION", "VERS"},    {"LEVEL", "LEV"},     {"IMMEDIATE", "IMM"}, {"AMPLITUDE", "AMPL"},
    {"APPLY", "APPL"},
}};

std::string_view trim(std::string_view text, std::string_view set) {
    const auto first = text.find_first_not_of(set);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

char upperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) c = upperChar(c);
    return result;
}

std::string_view shortForm(std::string_view node) {
    for (const Keyword& keyword : keywords) {
        if (keyword.longForm == node) return keyword.shortForm;
    }
    return node;
}

bool isLevelNode(std::string_view node) { return node == "LEV" || node == "IMM" || node == "AMPL"; }

/// Splits at every `separator`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

[[noreturn]] void fail(int code, const char* message) { throw SCPIError{code, message}; }

SCPIError entryForCurrentException() {
    try {
        throw;
    } catch (const SCPIError& error) {
        return error;
    } catch (const VarekError& error) {
        switch (error.kind()) {
        case VarekError::Case::invalid: return {-222, "Data out of range"};
        case VarekError::Case::timeout: return {-200, "Device timed out"};
        case VarekError::Case::readback: return {-200, "Readback mismatch"};
        default: return {-200, "Device operation failed"};
        }
    } catch (...) {
        return {-200, "Execution error"};
    }
}

using SampleReply = std::string (*)(const PowerSample&);

struct SampleQuery {
    std::string_view header;
    SampleReply reply;
};

// Every value query reads the supply afresh; nothing is cached between commands.
constexpr SampleQuery sampleQueries[] = {
    {"OUTP", [](const PowerSample& s) { return std::string(s.outputEnabled ? "1" : "0"); }},
    {"OUTP:STAT", [](const PowerSample& s) { return std::string(s.outputEnabled ? "1" : "0"); }},
    {"VOLT", [](const PowerSample& s) { return formatFixed2(s.voltageSet); }},
    {"CURR", [](const PowerSample& s) { return formatFixed2(s.currentSet); }},
    {"APPL",
     [](const PowerSample& s) { return formatFixed2(s.voltageSet) + "," + formatFixed2(s.currentSet); }},
    {"MEAS:VOLT", [](const PowerSample& s) { return formatFixed2(s.voltage); }},
    {"MEAS:VOLT:DC", [](const PowerSample& s) { return formatFixed2(s.voltage); }},
    {"MEAS:CURR", [](const PowerSample& s) { return formatFixed2(s.current); }},
    {"MEAS:CURR:DC", [](const PowerSample& s) { return formatFixed2(s.current); }},
    {"MEAS:POW", [](const PowerSample& s) { return formatFixed2(s.power); }},
    {"MEAS:POW:DC", [](const PowerSample& s) { return formatFixed2(s.power); }},
};

void runSet(SerialSession& session, std::deque<SCPIError>& errors, const std::string& header,
            const std::string& parameter) {
    if (header == "*OPC" || header == "*WAI" || header == "*CLS") {
        if (!parameter.empty()) fail(-108, "Parameter not allowed");
        if (header == "*CLS") errors.clear();
    } else if (header == "OUTP" || header == "OUTP:STAT") {
        const std::string state = upper(parameter);
        if (state == "1" || state == "ON") {
            session.setOutput(true);
        } else if (state == "0" || state == "OFF") {
            session.setOutput(false);
        } else {
            fail(-224, "Illegal parameter value");
        }
    } else if (header == "VOLT") {
        session.setVoltage(SCPIInstrument::centi(parameter, 'V', 60.0));
    } else if (header == "CURR") {
        session.setCurrent(SCPIInstrument::centi(parameter, 'A', 30.0));
    } else if (header == "APPL") {
        const auto pieces = split(parameter, ',');
        if (pieces.size() != 2) fail(-109, "Missing or extra parameter");
        const std::uint16_t voltage = SCPIInstrument::centi(pieces[0], 'V', 60.0);
        const std::uint16_t current = SCPIInstrument::centi(pieces[1], 'A', 30.0);
        session.setValues(voltage, current);
    } else if (header == "INST:NSEL" || header == "INST:SEL") {
        const std::string channel = upper(parameter);
        if (channel != "1" && channel != "CH1") fail(-222, "Only channel 1 is available");
    } else {
        fail(-113, "Undefined header");
    }
}

std::string runQuery(SerialSession& session, const DeviceIdentity& identity,
                     std::deque<SCPIError>& errors, const std::string& header) {
    if (header == "*IDN") {
        return "RuvizOzurir,VAREK-RD6030-Max-SCPI," + std::to_string(identity.serial) + "," +
               formatShortest(identity.firmware);
    }
    if (header == "*OPC" || header == "INST:NSEL") return "1";
    if (header == "INST:SEL") return "CH1";
    if (header == "SYST:VERS") return "1999.0";
    if (header == "SYST:SOUR:SHA") return platform::sourceSHA();
    if (header == "SYST:ERR" || header == "SYST:ERR:NEXT") {
        SCPIError entry{0, "No error"};
        if (!errors.empty()) {
            entry = std::move(errors.front());
            errors.pop_front();
        }
        return std::to_string(entry.code) + ",\"" + entry.message + "\"";
    }
    for (const SampleQuery& query : sampleQueries) {
        if (query.header == header) return query.reply(session.sample());
    }
    fail(-113, "Undefined header");
}

}  // namespace

SCPIInstrument::SCPIInstrument(SerialSession& session, DeviceIdentity identity)
    : session_(session), identity_(identity) {}

std::deque<SCPIError> SCPIInstrument::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

std::optional<std::string> SCPIInstrument::process(std::string_view line, std::stop_token stop) {
    std::lock_guard lock(mutex_);
    std::string replies;
    bool anyReply = false;
    for (std::string_view piece : split(line, ';')) {
        if (piece.empty()) continue;
        if (stop.stop_requested()) return std::nullopt;
        const std::string_view command = trim(piece, lineSpace);
        if (command.empty()) continue;

        const auto gap = command.find_first_of(lineSpace);
        const std::string header = normalize(command.substr(0, gap));
        const std::string parameter(
            gap == std::string_view::npos ? std::string_view{} : trim(command.substr(gap), blanks));
        const bool query = !header.empty() && header.back() == '?';

        std::optional<std::string> reply;
        try {
            reply = runCommand(header, parameter);
        } catch (...) {
            queue(entryForCurrentException());
            if (query) reply = "nan";
        }
        if (reply) {
            if (anyReply) replies += ';';
            replies += *reply;
            anyReply = true;
        }
    }
    if (!anyReply) return std::nullopt;
    replies += '\n';
    return replies;
}

std::string SCPIInstrument::normalize(std::string_view header) {
    const bool query = !header.empty() && header.back() == '?';
    const std::string folded = upper(header);
    std::vector<std::string_view> nodes;
    for (std::string_view node : split(trim(folded, ":?"), ':')) {
        if (!node.empty()) nodes.push_back(shortForm(node));
    }
    if (!nodes.empty() && nodes.front() == "SOUR") nodes.erase(nodes.begin());
    if (!nodes.empty() && (nodes.front() == "VOLT" || nodes.front() == "CURR")) {
        bool onlyLevels = true;
        for (std::size_t i = 1; i < nodes.size(); ++i) onlyLevels = onlyLevels && isLevelNode(nodes[i]);
        if (onlyLevels) nodes.resize(1);
    }
    std::string result;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i > 0) result += ':';
        result += nodes[i];
    }
    if (query) result += '?';
    return result;
}

std::uint16_t SCPIInstrument::centi(std::string_view text, char unit, double maximum) {
    std::string value = upper(trim(text, blanks));
    if (!value.empty() && value.back() == upperChar(unit)) value.pop_back();
    if (value.empty()) fail(-109, "Missing parameter");
    return Modbus::centiUnits(value, maximum);
}

std::optional<std::string> SCPIInstrument::runCommand(const std::string& header,
                                                      const std::string& parameter) {
    if (!header.empty() && header.back() == '?') {
        // A query never takes a parameter; refuse it before looking the header up.
        if (!parameter.empty()) fail(-108, "Parameter not allowed");
        return runQuery(session_, identity_, errors_, header.substr(0, header.size() - 1));
    }
    runSet(session_, errors_, header, parameter);
    return std::nullopt;
}

void SCPIInstrument::queue(SCPIError entry) {
    if (errors_.size() < errorQueueLimit) {
        errors_.push_back(std::move(entry));
    } else {
        // The standard's rule: the newest slot turns into the overflow marker.
        errors_.back() = SCPIError{-350, "Queue overflow"};
    }
}

}  // namespace varek
