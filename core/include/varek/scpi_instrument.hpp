#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"

namespace varek {

class SerialSession;

/// One SCPI error-queue entry.
struct SCPIError {
    int code = 0;
    std::string message;
    friend bool operator==(const SCPIError&, const SCPIError&) = default;
};

/// The SCPI command processor of one connection, bound to the program's session.
/// Thread-safe; `process` calls of one instrument run one at a time.
class SCPIInstrument {
public:
    /// Most entries the error queue holds; the newest then becomes "Queue overflow".
    static constexpr std::size_t errorQueueLimit = 20;

    /// `session` is shared, not owned, and must outlive the instrument. Setpoints
    /// above `ceilings` are refused with -222 before anything is written.
    SCPIInstrument(SerialSession& session, DeviceIdentity identity, SafetyCeilings ceilings = {});

    /// Runs every command of `line` (no terminator needed; a trailing CR is harmless)
    /// and returns one reply ending in "\n", or nothing. Never throws. Stops before
    /// the next command, returning nothing, once `stop` is requested.
    std::optional<std::string> process(std::string_view line, std::stop_token stop = {});

    /// Hears every command that wrote to the supply: what was asked, whether the
    /// read-back confirmed it, and the failure's text when it did not.
    using Audit = std::function<void(const std::string& asked, bool confirmed, const std::string& failure)>;
    /// Installs `audit` (called on the thread that runs `process`); a write that takes
    /// effect late is attributed to `attribution` followed by the command.
    void setAudit(Audit audit, std::string attribution = {});

    /// True when some command of `line`, parsed as `process` parses it, would reach the
    /// supply: a setter of output, voltage or current (whatever its parameter) or a
    /// value query without a parameter. Lines of common, system, channel and unknown
    /// commands only touch this instrument and may be answered without waiting on it.
    static bool needsDevice(std::string_view line);

    /// Canonical header: upper case, long keywords shortened, SOUR and level nodes dropped.
    static std::string normalize(std::string_view header);
    /// Hundredths of `text` after an optional trailing `unit` letter; throws SCPIError
    /// -109 for an empty value, VarekError::invalid for anything centiUnits refuses.
    static std::uint16_t centi(std::string_view text, char unit, double maximum);

    /// A copy of the error queue, oldest first (for tests and diagnostics).
    std::deque<SCPIError> errors() const;

private:
    void queue(SCPIError entry);

    SerialSession& session_;
    const DeviceIdentity identity_;
    const SafetyCeilings ceilings_;
    Audit audit_;
    std::string attribution_;
    mutable std::mutex mutex_;
    std::deque<SCPIError> errors_;
};

}  // namespace varek
