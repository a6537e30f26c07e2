#include "varek/scpi_instrument.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "scpi_commands.hpp"
#include "varek/error.hpp"
#include "varek/protocol.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

using namespace scpi;

struct Keyword {
    std::string_view longForm;
    std::string_view shortForm;
};

constexpr std::array<Keyword, 20> keywords{{
    {"OUTPUT", "OUTP"},     {"STATE", "STAT"},    {"VOLTAGE", "VOLT"},  {"CURRENT", "CURR"},
    {"MEASURE", "MEAS"},    {"POWER", "POW"},     {"SOURCE", "SOUR"},   {"SYSTEM", "SYST"},
    {"ERROR", "ERR"},       {"INSTRUMENT", "INST"}, {"SELECT", "SEL"},  {"NSELECT", "NSEL"},
    {"VERSION", "VERS"},    {"LEVEL", "LEV"},     {"IMMEDIATE", "IMM"}, {"AMPLITUDE", "AMPL"},
    {"APPLY", "APPL"},      {"REMOTE", "REM"},    {"LOCAL", "LOC"},     {"RWLOCK", "RWL"},
}};

std::string_view shortForm(std::string_view node) {
    for (const Keyword& keyword : keywords) {
        if (keyword.longForm == node) return keyword.shortForm;
    }
    return node;
}

bool isLevelNode(std::string_view node) { return node == "LEV" || node == "IMM" || node == "AMPL"; }

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

/// The ceilings in force, never above what the supply itself takes.
SafetyCeilings ceilingsNow(const SCPIInstrument::CeilingSource& source) {
    SafetyCeilings ceilings = source ? source() : SafetyCeilings{};
    ceilings.voltageCenti = std::min(ceilings.voltageCenti, Supply::voltageCentiMax);
    ceilings.currentCenti = std::min(ceilings.currentCenti, Supply::currentCentiMax);
    return ceilings;
}

void runSet(SerialSession& session, const SCPIInstrument::CeilingSource& ceilings, SCPIStatus& status,
            const Parsed& command, const SCPIInstrument::Audit& audit, const std::string& attribution) {
    if (const LocalSet* local = findLocalSet(command.header)) return local->run(status, command.parameter);
    const DeviceSet* device = findDeviceSet(command.header);
    if (!device) fail(-113, "Undefined header");
    std::string asked = command.header + (command.parameter.empty() ? "" : " " + command.parameter);
    if (!device->effect.empty()) asked += " (" + std::string(device->effect) + ")";
    const SerialSession::WriteAttribution late(attribution.empty() ? asked : attribution + " " + asked);
    try {
        device->run(session, ceilingsNow(ceilings), command.parameter);
    } catch (const VarekError& error) {
        // A value refused before anything was sent is no write; a device failure is one.
        if (audit && error.kind() != VarekError::Case::invalid) audit(asked, false, error.description());
        throw;
    }
    if (audit) audit(asked, true, {});
}

std::string runQuery(SerialSession& session, const DeviceIdentity& identity,
                     const SCPIInstrument::CeilingSource& ceilings, SCPIStatus& status, const Parsed& command) {
    if (const ValueQuery* value = findValueQuery(command.bare())) {
        const Bound bound = queryBound(command.parameter, value->range != Range::none);
        if (bound != Bound::none) return rangeReply(value->range, bound, ceilingsNow(ceilings));
        return value->reply(session.sample());
    }
    // Any other query never takes a parameter; refuse it before looking the header up.
    if (!command.parameter.empty()) fail(-108, "Parameter not allowed");
    if (const LocalQuery* local = findLocalQuery(command.bare())) return local->run(identity, status);
    fail(-113, "Undefined header");
}

bool reachesDevice(const Parsed& command) {
    if (!command.query()) return findDeviceSet(command.header) != nullptr;
    const ValueQuery* value = findValueQuery(command.bare());
    if (!value) return false;
    try {
        return queryBound(command.parameter, value->range != Range::none) == Bound::none;
    } catch (const SCPIError&) {
        return false;  // refused before the supply is asked
    }
}

}  // namespace

void SCPIStatus::queue(SCPIError entry) {
    const int kind = -entry.code / 100;
    if (kind == 1) events |= commandError;
    if (kind == 2) events |= executionError;
    if (kind == 3) events |= deviceError;
    if (kind == 4) events |= queryError;
    if (errors.size() < errorQueueLimit) {
        errors.push_back(std::move(entry));
    } else {
        // The standard's rule: the newest slot turns into the overflow marker.
        errors.back() = SCPIError{-350, "Queue overflow"};
        events |= deviceError;
    }
}

std::uint8_t SCPIStatus::statusByte() const noexcept {
    std::uint8_t byte = 0;
    if (!errors.empty()) byte |= errorAvailable;
    if (events & eventEnable) byte |= eventSummary;
    if (byte & serviceEnable) byte |= masterSummary;
    return byte;
}

SCPIInstrument::SCPIInstrument(SerialSession& session, DeviceIdentity identity, SafetyCeilings ceilings)
    : SCPIInstrument(session, identity, CeilingSource([ceilings] { return ceilings; })) {}

SCPIInstrument::SCPIInstrument(SerialSession& session, DeviceIdentity identity, CeilingSource ceilings)
    : session_(session), identity_(identity), ceilings_(std::move(ceilings)) {}

void SCPIInstrument::setAudit(Audit audit, std::string attribution) {
    std::lock_guard lock(mutex_);
    audit_ = std::move(audit);
    attribution_ = std::move(attribution);
}

std::deque<SCPIError> SCPIInstrument::errors() const {
    std::lock_guard lock(mutex_);
    return status_.errors;
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
                reply = runQuery(session_, identity_, ceilings_, status_, *command);
            } else {
                runSet(session_, ceilings_, status_, *command, audit_, attribution_);
            }
        } catch (...) {
            status_.queue(entryForCurrentException());
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
    if (!value.empty() && value.back() == upper(std::string_view(&unit, 1)).front()) value.pop_back();
    if (value.empty()) fail(-109, "Missing parameter");
    return Modbus::centiUnits(value, maximum);
}

}  // namespace varek
