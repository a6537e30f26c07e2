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
    } catch (const CeilingRefused&) {
        return {-222, "Data out of range"};
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

// The command tables. Their handler types decide what a command may touch: only the
// device tables get the session, so needsDevice() and the dispatcher cannot disagree.
using LocalSet = void (*)(std::deque<SCPIError>& errors, const std::string& parameter);
using DeviceSet = void (*)(SerialSession& session, const SafetyCeilings& ceilings, const std::string& parameter);
using LocalQuery = std::string (*)(const DeviceIdentity& identity, std::deque<SCPIError>& errors);
using SampleReply = std::string (*)(const PowerSample&);

template <typename Handler>
struct Command {
    std::string_view header;
    Handler run;
};

template <typename Handler, std::size_t size>
const Command<Handler>* lookup(const Command<Handler> (&table)[size], std::string_view header) {
    for (const Command<Handler>& command : table) {
        if (command.header == header) return &command;
    }
    return nullptr;
}

void refuseParameter(const std::string& parameter) {
    if (!parameter.empty()) fail(-108, "Parameter not allowed");
}

void selectChannel(std::deque<SCPIError>&, const std::string& parameter) {
    const std::string channel = upper(parameter);
    if (channel != "1" && channel != "CH1") fail(-222, "Only channel 1 is available");
}

void setOutput(SerialSession& session, const SafetyCeilings&, const std::string& parameter) {
    const std::string state = upper(parameter);
    if (state == "1" || state == "ON") {
        session.setOutput(true);
    } else if (state == "0" || state == "OFF") {
        session.setOutput(false);
    } else {
        fail(-224, "Illegal parameter value");
    }
}

// A value above a ceiling fails like one above the supply's range: -222, nothing written.
std::uint16_t volts(std::string_view text, const SafetyCeilings& ceilings) {
    return SCPIInstrument::centi(text, 'V', ceilings.voltage());
}
std::uint16_t amperes(std::string_view text, const SafetyCeilings& ceilings) {
    return SCPIInstrument::centi(text, 'A', ceilings.current());
}

void apply(SerialSession& session, const SafetyCeilings& ceilings, const std::string& parameter) {
    const auto pieces = split(parameter, ',');
    if (pieces.size() != 2) fail(-109, "Missing or extra parameter");
    // The voltage is converted first, so its error wins and nothing is written.
    const std::uint16_t voltage = volts(pieces[0], ceilings);
    const std::uint16_t current = amperes(pieces[1], ceilings);
    session.setValues(voltage, current);
}

constexpr Command<LocalSet> localSets[] = {
    {"*OPC", [](std::deque<SCPIError>&, const std::string& p) { refuseParameter(p); }},
    {"*WAI", [](std::deque<SCPIError>&, const std::string& p) { refuseParameter(p); }},
    {"*CLS",
     [](std::deque<SCPIError>& errors, const std::string& p) {
         refuseParameter(p);
         errors.clear();
     }},
    {"INST:NSEL", selectChannel},
    {"INST:SEL", selectChannel},
};

constexpr Command<DeviceSet> deviceSets[] = {
    {"OUTP", setOutput},
    {"OUTP:STAT", setOutput},
    {"VOLT", [](SerialSession& session, const SafetyCeilings& c, const std::string& p) {
         session.setVoltage(volts(p, c));
     }},
    {"CURR", [](SerialSession& session, const SafetyCeilings& c, const std::string& p) {
         session.setCurrent(amperes(p, c));
     }},
    {"APPL", apply},
};

std::string nextError(const DeviceIdentity&, std::deque<SCPIError>& errors) {
    SCPIError entry{0, "No error"};
    if (!errors.empty()) {
        entry = std::move(errors.front());
        errors.pop_front();
    }
    return std::to_string(entry.code) + ",\"" + entry.message + "\"";
}

constexpr Command<LocalQuery> localQueries[] = {
    {"*IDN",
     [](const DeviceIdentity& identity, std::deque<SCPIError>&) {
         return "RuvizOzurir,VAREK-RD6030-Max-SCPI," + std::to_string(identity.serial) + "," +
                formatShortest(identity.firmware);
     }},
    {"*OPC", [](const DeviceIdentity&, std::deque<SCPIError>&) { return std::string("1"); }},
    {"INST:NSEL", [](const DeviceIdentity&, std::deque<SCPIError>&) { return std::string("1"); }},
    {"INST:SEL", [](const DeviceIdentity&, std::deque<SCPIError>&) { return std::string("CH1"); }},
    {"SYST:VERS", [](const DeviceIdentity&, std::deque<SCPIError>&) { return std::string("1999.0"); }},
    {"SYST:SOUR:SHA", [](const DeviceIdentity&, std::deque<SCPIError>&) { return platform::sourceSHA(); }},
    {"SYST:ERR", nextError},
    {"SYST:ERR:NEXT", nextError},
};

// Every value query reads the supply afresh; nothing is cached between commands.
constexpr Command<SampleReply> sampleQueries[] = {
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

/// One command of a line: its normalized header and its parameter.
struct Parsed {
    std::string header;
    std::string parameter;
    bool query() const { return !header.empty() && header.back() == '?'; }
    /// The header without a query's "?".
    std::string_view bare() const {
        return std::string_view(header).substr(0, header.size() - (query() ? 1 : 0));
    }
};

/// Splits a piece between semicolons into header and parameter; nothing for a blank piece.
std::optional<Parsed> parse(std::string_view piece) {
    const std::string_view command = trim(piece, lineSpace);
    if (command.empty()) return std::nullopt;
    const auto gap = command.find_first_of(lineSpace);
    const std::string_view parameter =
        gap == std::string_view::npos ? std::string_view{} : trim(command.substr(gap), blanks);
    return Parsed{SCPIInstrument::normalize(command.substr(0, gap)), std::string(parameter)};
}

void runSet(SerialSession& session, const SafetyCeilings& ceilings, std::deque<SCPIError>& errors,
            const Parsed& command, const SCPIInstrument::Audit& audit, const std::string& attribution) {
    if (const auto* local = lookup(localSets, command.header)) {
        return local->run(errors, command.parameter);
    }
    if (const auto* device = lookup(deviceSets, command.header)) {
        const std::string asked = command.header + (command.parameter.empty() ? "" : " " + command.parameter);
        const SerialSession::WriteAttribution late(attribution.empty() ? asked : attribution + " " + asked);
        try {
            device->run(session, ceilings, command.parameter);
        } catch (const VarekError& error) {
            // A value refused before anything was sent is no write; a device failure is one.
            if (audit && error.kind() != VarekError::Case::invalid) audit(asked, false, error.description());
            throw;
        }
        if (audit) audit(asked, true, {});
        return;
    }
    fail(-113, "Undefined header");
}

std::string runQuery(SerialSession& session, const DeviceIdentity& identity, std::deque<SCPIError>& errors,
                     const Parsed& command) {
    // A query never takes a parameter; refuse it before looking the header up.
    refuseParameter(command.parameter);
    if (const auto* local = lookup(localQueries, command.bare())) return local->run(identity, errors);
    if (const auto* sample = lookup(sampleQueries, command.bare())) return sample->run(session.sample());
    fail(-113, "Undefined header");
}

bool reachesDevice(const Parsed& command) {
    if (command.query()) return command.parameter.empty() && lookup(sampleQueries, command.bare());
    return lookup(deviceSets, command.header) != nullptr;
}

}  // namespace

SCPIInstrument::SCPIInstrument(SerialSession& session, DeviceIdentity identity, SafetyCeilings ceilings)
    : session_(session), identity_(identity), ceilings_(ceilings) {}

void SCPIInstrument::setAudit(Audit audit, std::string attribution) {
    std::lock_guard lock(mutex_);
    audit_ = std::move(audit);
    attribution_ = std::move(attribution);
}

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
        const std::optional<Parsed> command = parse(piece);
        if (!command) continue;

        std::optional<std::string> reply;
        try {
            if (command->query()) {
                reply = runQuery(session_, identity_, errors_, *command);
            } else {
                runSet(session_, ceilings_, errors_, *command, audit_, attribution_);
            }
        } catch (...) {
            queue(entryForCurrentException());
            if (command->query()) reply = "nan";
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

bool SCPIInstrument::needsDevice(std::string_view line) {
    for (std::string_view piece : split(line, ';')) {
        const std::optional<Parsed> command = parse(piece);
        if (command && reachesDevice(*command)) return true;
    }
    return false;
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

void SCPIInstrument::queue(SCPIError entry) {
    if (errors_.size() < errorQueueLimit) {
        errors_.push_back(std::move(entry));
    } else {
        // The standard's rule: the newest slot turns into the overflow marker.
        errors_.back() = SCPIError{-350, "Queue overflow"};
    }
}

}  // namespace varek
