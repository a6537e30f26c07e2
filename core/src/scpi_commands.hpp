#pragma once
// The command tables behind SCPIInstrument and the parameter forms they accept.
// Private to core: the instrument's public interface is the only way in.

#include <string>
#include <string_view>
#include <vector>

#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/scpi_instrument.hpp"

namespace varek {

class SerialSession;

namespace scpi {

inline constexpr std::string_view lineSpace = " \t\n\v\f\r";
inline constexpr std::string_view blanks = " \t";

/// `text` without leading and trailing characters of `set`.
std::string_view trim(std::string_view text, std::string_view set);
/// ASCII upper case.
std::string upper(std::string_view text);
/// Splits at every `separator`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char separator);
/// Throws SCPIError{code, message}.
[[noreturn]] void fail(int code, const char* message);

/// A command that only touches the connection's own status.
struct LocalSet {
    std::string_view header;
    void (*run)(SCPIStatus& status, const std::string& parameter);
};
/// A command that writes to the supply; `effect` is added to its audit text.
struct DeviceSet {
    std::string_view header;
    void (*run)(SerialSession& session, const SafetyCeilings& ceilings, const std::string& parameter);
    std::string_view effect = {};
};
/// A query answered from the connection's own state.
struct LocalQuery {
    std::string_view header;
    std::string (*run)(const DeviceIdentity& identity, SCPIStatus& status);
};
/// Which range a value query reports for MIN and MAX, if any.
enum class Range { none, voltage, current };
/// A query answered from a fresh status read.
struct ValueQuery {
    std::string_view header;
    std::string (*reply)(const PowerSample& sample);
    Range range = Range::none;
};

const LocalSet* findLocalSet(std::string_view header);
const DeviceSet* findDeviceSet(std::string_view header);
const LocalQuery* findLocalQuery(std::string_view header);
const ValueQuery* findValueQuery(std::string_view header);

/// What a value query's parameter asks for: a reading, or an end of the range.
enum class Bound { none, minimum, maximum };
/// Parses a value query's parameter: empty, a channel-1 argument (CH1, OUT1, (@1)),
/// MIN/MAX when `ranged`, or MIN/MAX followed by ",channel". Throws -222 "Only channel
/// 1 is available" for another channel and -108 for anything else.
Bound queryBound(std::string_view parameter, bool ranged);
/// The reply to MIN or MAX of `range`: 0.00, or the ceiling in force.
std::string rangeReply(Range range, Bound bound, const SafetyCeilings& ceilings);

}  // namespace scpi
}  // namespace varek
