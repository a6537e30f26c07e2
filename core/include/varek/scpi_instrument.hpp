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

/// The IEEE 488.2 status of one connection: its error queue and status registers.
struct SCPIStatus {
    /// Most entries the error queue holds; the newest then becomes "Queue overflow".
    static constexpr std::size_t errorQueueLimit = 20;
    /// Event status register bits (*ESR?, *ESE).
    static constexpr std::uint8_t operationComplete = 1 << 0;
    static constexpr std::uint8_t queryError = 1 << 2;
    static constexpr std::uint8_t deviceError = 1 << 3;
    static constexpr std::uint8_t executionError = 1 << 4;
    static constexpr std::uint8_t commandError = 1 << 5;
    /// Status byte bits (*STB?, *SRE).
    static constexpr std::uint8_t errorAvailable = 1 << 2;
    static constexpr std::uint8_t eventSummary = 1 << 5;
    static constexpr std::uint8_t masterSummary = 1 << 6;

    std::deque<SCPIError> errors;    ///< oldest first
    std::uint8_t events = 0;         ///< event status register, cleared by *ESR? and *CLS
    std::uint8_t eventEnable = 0;    ///< *ESE
    std::uint8_t serviceEnable = 0;  ///< *SRE (bit 6 always clear)

    /// Queues `entry` (at the limit the newest slot turns into -350 "Queue overflow")
    /// and sets the event bit of its class: -1xx command, -2xx execution, -3xx device,
    /// -4xx query error.
    void queue(SCPIError entry);
    /// The status byte: error queue not empty, enabled events, and the master summary
    /// of the service-enabled bits.
    std::uint8_t statusByte() const noexcept;
};

/// The SCPI command processor of one connection, bound to the program's session.
/// Thread-safe; `process` calls of one instrument run one at a time.
class SCPIInstrument {
public:
    /// Most entries the error queue holds; the newest then becomes "Queue overflow".
    static constexpr std::size_t errorQueueLimit = SCPIStatus::errorQueueLimit;
    /// Gives the ceilings in force now; called once for every command that needs them.
    using CeilingSource = std::function<SafetyCeilings()>;

    /// `session` is shared, not owned, and must outlive the instrument. Setpoints
    /// above `ceilings` are refused with -222 before anything is written; MAX means them.
    SCPIInstrument(SerialSession& session, DeviceIdentity identity, SafetyCeilings ceilings = {});
    /// The same with ceilings that may change while the connection lasts (an empty
    /// source means the supply's own limits).
    SCPIInstrument(SerialSession& session, DeviceIdentity identity, CeilingSource ceilings);

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
    /// supply: *RST or a setter of output, voltage or current (whatever its parameter),
    /// or a value query reading the supply (no parameter, or only channel 1). Lines of
    /// common, status, system, channel, MIN/MAX and unknown commands only touch this
    /// instrument and may be answered without waiting on it.
    static bool needsDevice(std::string_view line);

    /// Canonical header: upper case, long keywords shortened, SOUR and level nodes dropped.
    static std::string normalize(std::string_view header);
    /// Hundredths of `text` after an optional trailing `unit` letter; throws SCPIError
    /// -109 for an empty value, VarekError::invalid for anything centiUnits refuses.
    static std::uint16_t centi(std::string_view text, char unit, double maximum);

    /// A copy of the error queue, oldest first (for tests and diagnostics).
    std::deque<SCPIError> errors() const;

private:
    SerialSession& session_;
    const DeviceIdentity identity_;
    const CeilingSource ceilings_;
    Audit audit_;
    std::string attribution_;
    mutable std::mutex mutex_;
    SCPIStatus status_;
};

}  // namespace varek
