#include "scpi_commands.hpp"

#include <charconv>
#include <cmath>
#include <optional>

#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/serial_session.hpp"

namespace varek::scpi {

std::string_view trim(std::string_view text, std::string_view set) {
    const auto first = text.find_first_not_of(set);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return result;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

void fail(int code, const char* message) { throw SCPIError{code, message}; }

namespace {

constexpr auto npos = std::string_view::npos;

void refuseParameter(const std::string& parameter) {
    if (!parameter.empty()) fail(-108, "Parameter not allowed");
}

// Beside a value only a text written as a channel counts as one (CHn, OUTn, a (@...)
// list): a bare number there stays a value, so APPL 5,1 is still 5 V and 1 A.
bool looksLikeChannel(std::string_view text) {
    if (text.size() >= 3 && text.starts_with("(@") && text.ends_with(")")) return true;
    for (const std::string_view prefix : {std::string_view("CH"), std::string_view("OUT")}) {
        if (text.size() > prefix.size() && text.starts_with(prefix) &&
            text.find_first_not_of("0123456789", prefix.size()) == npos) {
            return true;
        }
    }
    return false;
}

/// `text` upper-cased: CH1, OUT1 or a channel list holding only 1.
void requireChannelOne(std::string_view text) {
    const bool list = text.size() >= 3 && text.starts_with("(@") && text.ends_with(")");
    if (text == "CH1" || text == "OUT1" || (list && trim(text.substr(2, text.size() - 3), blanks) == "1")) return;
    fail(-222, "Only channel 1 is available");
}

/// A setting's parameter, upper-cased, as VALUE,CHANNEL when it ends in a channel
/// argument after a comma and a value; otherwise all of it is the value.
struct Channelled {
    std::string value;
    std::optional<std::string> channel;
};

Channelled trailingChannel(std::string_view parameter) {
    const std::string text = upper(trim(parameter, blanks));
    const std::string_view view(text);
    // A channel list may hold commas of its own: it starts at its "(@".
    const auto list = view.ends_with(')') ? view.rfind("(@") : npos;
    auto comma = list == npos ? view.rfind(',') : npos;
    if (list != npos && list > 0) comma = view.find_last_not_of(blanks, list - 1);
    if (comma == npos || view[comma] != ',') return {text, std::nullopt};
    const std::string_view value = trim(view.substr(0, comma), blanks);
    const std::string_view channel = trim(view.substr(comma + 1), blanks);
    if (value.empty() || !looksLikeChannel(channel)) return {text, std::nullopt};
    return {std::string(value), std::string(channel)};
}

/// A setting's value once its optional trailing channel proved to be channel 1.
std::string settingValue(const std::string& parameter) {
    auto [value, channel] = trailingChannel(parameter);
    if (channel) requireChannelOne(*channel);
    return value;
}

/// APPL's parameter after an optional leading channel, which must be channel 1.
std::string_view afterLeadingChannel(std::string_view parameter) {
    const std::string_view text = trim(parameter, blanks);
    auto comma = text.find(',');
    if (text.starts_with("(@")) {
        const auto close = text.find(')');
        comma = close == npos ? npos : text.find_first_not_of(blanks, close + 1);
    }
    if (comma == npos || text[comma] != ',') return text;
    const std::string head = upper(trim(text.substr(0, comma), blanks));
    if (!looksLikeChannel(head)) return text;
    requireChannelOne(head);
    return text.substr(comma + 1);
}

std::optional<Bound> boundNamed(std::string_view text) {
    if (text == "MIN" || text == "MINIMUM") return Bound::minimum;
    if (text == "MAX" || text == "MAXIMUM") return Bound::maximum;
    return std::nullopt;
}

/// Hundredths of a setpoint: MIN is 0, MAX the ceiling, anything else a number
/// within the ceiling.
std::uint16_t setpoint(std::string_view text, char unit, std::uint16_t ceilingCenti) {
    if (const auto bound = boundNamed(upper(trim(text, blanks)))) {
        return *bound == Bound::minimum ? 0 : ceilingCenti;
    }
    return SCPIInstrument::centi(text, unit, ceilingCenti / 100.0);
}

/// A status enable register's value: a decimal number rounded to 0..255.
std::uint8_t registerValue(const std::string& parameter) {
    std::string_view text = trim(parameter, blanks);
    if (text.empty()) fail(-109, "Missing parameter");
    if (text.front() == '+') text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const double rounded = std::round(value);
    if (error != std::errc{} || end != text.data() + text.size() || !(rounded >= 0 && rounded <= 255)) {
        fail(-222, "Data out of range");
    }
    return static_cast<std::uint8_t>(rounded);
}

void selectChannel(SCPIStatus&, const std::string& parameter) {
    const std::string channel = upper(parameter);
    if (channel != "1") requireChannelOne(channel);
}

void setOutput(SerialSession& session, const SafetyCeilings&, const std::string& parameter) {
    const std::string state = settingValue(parameter);
    if (state == "1" || state == "ON") {
        session.setOutput(true);
    } else if (state == "0" || state == "OFF") {
        session.setOutput(false);
    } else {
        fail(-224, "Illegal parameter value");
    }
}

void apply(SerialSession& session, const SafetyCeilings& ceilings, const std::string& parameter) {
    const auto pieces = split(afterLeadingChannel(parameter), ',');
    if (pieces.size() != 2) fail(-109, "Missing or extra parameter");
    // The voltage is converted first, so its error wins and nothing is written.
    const std::uint16_t voltage = setpoint(pieces[0], 'V', ceilings.voltageCenti);
    const std::uint16_t current = setpoint(pieces[1], 'A', ceilings.currentCenti);
    session.setValues(voltage, current);
}

constexpr LocalSet localSets[] = {
    {"*OPC",
     [](SCPIStatus& status, const std::string& p) {
         refuseParameter(p);
         status.events |= SCPIStatus::operationComplete;
     }},
    {"*WAI", [](SCPIStatus&, const std::string& p) { refuseParameter(p); }},
    {"*CLS",
     [](SCPIStatus& status, const std::string& p) {
         refuseParameter(p);
         status.errors.clear();
         status.events = 0;
     }},
    {"*ESE", [](SCPIStatus& status, const std::string& p) { status.eventEnable = registerValue(p); }},
    // The master summary bit cannot request service itself (IEEE 488.2).
    {"*SRE",
     [](SCPIStatus& status, const std::string& p) {
         status.serviceEnable = registerValue(p) & ~SCPIStatus::masterSummary;
     }},
    {"INST:NSEL", selectChannel},
    {"INST:SEL", selectChannel},
    // This link has no front panel lock to take or give back.
    {"SYST:REM", [](SCPIStatus&, const std::string& p) { refuseParameter(p); }},
    {"SYST:LOC", [](SCPIStatus&, const std::string& p) { refuseParameter(p); }},
    {"SYST:RWL", [](SCPIStatus&, const std::string& p) { refuseParameter(p); }},
};

constexpr DeviceSet deviceSets[] = {
    {"OUTP", setOutput},
    {"OUTP:STAT", setOutput},
    {"VOLT",
     [](SerialSession& session, const SafetyCeilings& c, const std::string& p) {
         session.setVoltage(setpoint(settingValue(p), 'V', c.voltageCenti));
     }},
    {"CURR",
     [](SerialSession& session, const SafetyCeilings& c, const std::string& p) {
         session.setCurrent(setpoint(settingValue(p), 'A', c.currentCenti));
     }},
    {"APPL", apply},
    // Only the output is reset: setpoints are what the bench was left at, and the
    // error queue outlives *RST by the standard.
    {"*RST",
     [](SerialSession& session, const SafetyCeilings&, const std::string& p) {
         refuseParameter(p);
         session.setOutput(false);
     },
     "output off"},
};

std::string nextError(const DeviceIdentity&, SCPIStatus& status) {
    SCPIError entry{0, "No error"};
    if (!status.errors.empty()) {
        entry = std::move(status.errors.front());
        status.errors.pop_front();
    }
    return std::to_string(entry.code) + ",\"" + entry.message + "\"";
}

std::string constant(std::string_view text) { return std::string(text); }

constexpr LocalQuery localQueries[] = {
    {"*IDN",
     [](const DeviceIdentity& identity, SCPIStatus&) {
         return "RuvizOzurir,VAREK-RD6030-Max-SCPI," + std::to_string(identity.serial) + "," +
                formatShortest(identity.firmware);
     }},
    {"*OPC", [](const DeviceIdentity&, SCPIStatus&) { return constant("1"); }},
    {"*TST", [](const DeviceIdentity&, SCPIStatus&) { return constant("0"); }},
    {"*ESR",
     [](const DeviceIdentity&, SCPIStatus& status) {
         const unsigned events = status.events;
         status.events = 0;
         return std::to_string(events);
     }},
    {"*ESE", [](const DeviceIdentity&, SCPIStatus& s) { return std::to_string(unsigned{s.eventEnable}); }},
    {"*SRE", [](const DeviceIdentity&, SCPIStatus& s) { return std::to_string(unsigned{s.serviceEnable}); }},
    {"*STB", [](const DeviceIdentity&, SCPIStatus& s) { return std::to_string(unsigned{s.statusByte()}); }},
    {"INST:NSEL", [](const DeviceIdentity&, SCPIStatus&) { return constant("1"); }},
    {"INST:SEL", [](const DeviceIdentity&, SCPIStatus&) { return constant("CH1"); }},
    {"SYST:VERS", [](const DeviceIdentity&, SCPIStatus&) { return constant("1999.0"); }},
    {"SYST:SOUR:SHA", [](const DeviceIdentity&, SCPIStatus&) { return platform::sourceSHA(); }},
    {"SYST:ERR", nextError},
    {"SYST:ERR:NEXT", nextError},
};

std::string output(const PowerSample& s) { return s.outputEnabled ? "1" : "0"; }

// Every value query reads the supply afresh; nothing is cached between commands.
constexpr ValueQuery valueQueries[] = {
    {"OUTP", output},
    {"OUTP:STAT", output},
    {"VOLT", [](const PowerSample& s) { return formatFixed2(s.voltageSet); }, Range::voltage},
    {"CURR", [](const PowerSample& s) { return formatFixed2(s.currentSet); }, Range::current},
    {"APPL",
     [](const PowerSample& s) { return formatFixed2(s.voltageSet) + "," + formatFixed2(s.currentSet); }},
    {"MEAS:VOLT", [](const PowerSample& s) { return formatFixed2(s.voltage); }},
    {"MEAS:VOLT:DC", [](const PowerSample& s) { return formatFixed2(s.voltage); }},
    {"MEAS:CURR", [](const PowerSample& s) { return formatFixed2(s.current); }},
    {"MEAS:CURR:DC", [](const PowerSample& s) { return formatFixed2(s.current); }},
    {"MEAS:POW", [](const PowerSample& s) { return formatFixed2(s.power); }},
    {"MEAS:POW:DC", [](const PowerSample& s) { return formatFixed2(s.power); }},
};

template <typename Entry, std::size_t size>
const Entry* find(const Entry (&table)[size], std::string_view header) {
    for (const Entry& entry : table) {
        if (entry.header == header) return &entry;
    }
    return nullptr;
}

}  // namespace

const LocalSet* findLocalSet(std::string_view header) { return find(localSets, header); }
const DeviceSet* findDeviceSet(std::string_view header) { return find(deviceSets, header); }
const LocalQuery* findLocalQuery(std::string_view header) { return find(localQueries, header); }
const ValueQuery* findValueQuery(std::string_view header) { return find(valueQueries, header); }

Bound queryBound(std::string_view parameter, bool ranged) {
    auto [value, channel] = trailingChannel(parameter);
    if (!channel && looksLikeChannel(value)) {
        channel = std::move(value);
        value.clear();
    }
    if (channel) requireChannelOne(*channel);
    if (value.empty()) return Bound::none;
    if (const auto bound = boundNamed(value); bound && ranged) return *bound;
    fail(-108, "Parameter not allowed");
}

std::string rangeReply(Range range, Bound bound, const SafetyCeilings& ceilings) {
    if (bound == Bound::minimum) return formatFixed2(0.0);
    return formatFixed2(range == Range::voltage ? ceilings.voltage() : ceilings.current());
}

}  // namespace varek::scpi
