#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "varek/device.hpp"
#include "varek/protocol.hpp"
#include "varek/safety_ceilings.hpp"

namespace varek {

/// Owns the serial port to the supply and performs every Modbus transaction.
/// Thread-safe: public operations run one at a time, each to completion, and
/// may block the calling thread (up to 2 s per transaction, 4 per operation).
class SerialSession {
public:
    /// How one transaction on the port ended: no error is a valid reply. A guard's
    /// refusal carries the identity that was found, when it could be decoded.
    struct TransactionOutcome {
        std::optional<VarekError> error;
        std::optional<DeviceIdentity> found;
    };
    /// A write whose reply timed out and that a later read showed to have taken
    /// effect: its request frame and the attribution that was current when it was sent.
    struct LateWrite {
        Bytes request;
        std::string attribution;
    };
    /// Runs like the transaction observer: quick, without calling back into the session.
    using LateWriteObserver = std::function<void(const LateWrite&)>;
    /// While it lives, writes made by this thread through any session are attributed to
    /// `who` (for example "HTTP 10.0.0.7 output on"), should one of them take effect late.
    class WriteAttribution {
    public:
        explicit WriteAttribution(std::string who);
        ~WriteAttribution();
        WriteAttribution(const WriteAttribution&) = delete;
        WriteAttribution& operator=(const WriteAttribution&) = delete;

    private:
        std::string previous_;
    };
    /// Runs on the transacting thread with the session held: it must be quick and must
    /// not call back into the session.
    using TransactionObserver = std::function<void(const TransactionOutcome&)>;

    static constexpr std::array<int, 5> supportedBauds{9600, 19200, 38400, 57600, 115200};
    static constexpr std::chrono::milliseconds transactionDeadline{2000};
    /// How recent the guarded identity's last match must be when a write frame is sent.
    static constexpr std::chrono::milliseconds identityFreshness{3000};

    SerialSession() = default;
    ~SerialSession();
    SerialSession(const SerialSession&) = delete;
    SerialSession& operator=(const SerialSession&) = delete;

    /// USB serial candidates: /dev/ttyUSB* then /dev/ttyACM*, each group in byte order.
    static std::vector<std::string> ports();
    /// The same rule over the entry names of `directory` (for tests); paths are
    /// `directory` + "/" + name. A directory that cannot be listed gives nothing.
    static std::vector<std::string> ports(const std::string& directory);

    /// Opens `path` exclusively at `baud` 8N1 and reads the identity. Always starts
    /// from a closed port; any failure after opening closes it again.
    DeviceIdentity connect(const std::string& path, int baud, std::uint8_t station);
    /// Closes the port if open. Never writes to the supply.
    void disconnect() noexcept;
    /// For shutdown, from any thread: no transaction starts from now on (operations
    /// fail with io "串口已断开。"), and a transaction waiting for its reply gives up
    /// within one wait slice (100 ms). The port stays open until disconnect().
    void refuseTransactions() noexcept;
    /// True while a port is open.
    bool isOpen() const;
    /// True when no port is open or the open one reports a hang-up or an error.
    /// Sends nothing and does not wait.
    bool linkDown() const;

    /// Sees every transaction from now on (not those refused during shutdown). Set it
    /// before the session is shared between threads.
    void setTransactionObserver(TransactionObserver observer);
    /// From now on the supply must prove it is `expected` (model and serial): after a
    /// reply timeout the next transaction is an identity read, and a write operation
    /// begins with one when the last match is older than `identityFreshness` (read
    /// again right before the write frame should that frame come later still). Another
    /// supply gets the port closed and the operation fails with `identityChanged`,
    /// before anything is written to it.
    void guardIdentity(const DeviceIdentity& expected);
    /// Every write frame from now on carries only values within `ceilings`: a write that
    /// would carry a value above one, the supply's own kept setpoint included, throws
    /// CeilingRefused before anything is written. Any thread; never waits on the port.
    void limitSetpoints(const SafetyCeilings& ceilings) noexcept;
    /// Hears of every write that timed out and took effect later (see LateWrite).
    void setLateWriteObserver(LateWriteObserver observer);

    /// One 38-register status read.
    PowerSample sample();
    /// Re-reads the identity; the same supply gives a `sample()`, another one closes
    /// the port and throws `identityChanged`.
    PowerSample verifiedRecoverySample(const DeviceIdentity& expected);
    /// Writes registers 8-9, reads them back (`readback` on mismatch), then samples.
    PowerSample setValues(std::uint16_t voltage, std::uint16_t current);
    /// Reads the current limit, then `setValues` with it.
    PowerSample setVoltage(std::uint16_t voltage);
    /// Reads the voltage setpoint, then `setValues` with it.
    PowerSample setCurrent(std::uint16_t current);
    /// Writes register 18, reads it back (`readback` on mismatch), then samples.
    PowerSample setOutput(bool on);

private:
    // The *Locked helpers expect mutex_ to be held by the caller.
    Bytes transactLocked(const Bytes& request);
    /// One request and its reply, reported to the observer.
    Bytes observedLocked(const Bytes& request);
    Bytes exchangeLocked(const Bytes& request);
    /// The guard's identity read; throws `identityChanged` (port closed) for another supply.
    void confirmIdentityLocked();
    /// One wait-and-read pass of a transaction; a validated reply once one is complete.
    std::optional<Bytes> receiveLocked(FrameBuffer& buffer, std::uint8_t function,
                                       std::chrono::steady_clock::time_point deadline);
    /// Exclusive use and raw 8N1 line settings at `baud` on the just-opened port.
    void configureLocked(int baud);
    DeviceIdentity readIdentityLocked();
    PowerSample sampleLocked();
    /// `kept`: which of the two values is the supply's own (0 none, 1 voltage, 2 current).
    PowerSample setValuesLocked(std::uint16_t voltage, std::uint16_t current, int kept = 0);
    std::vector<std::uint16_t> readRegistersLocked(std::uint16_t start, std::uint16_t count);
    /// Sends a write frame for registers `start`.. with `values`; a timed-out one is
    /// remembered until a later read shows whether it took effect.
    void writeLocked(const Bytes& request, std::uint16_t start, std::span<const std::uint16_t> values);
    /// Reads the identity first when the guarded one was not matched recently enough.
    void proveBeforeWriteLocked();
    void refuseAboveCeilings(std::uint16_t voltage, std::uint16_t current, int kept) const;
    /// Settles remembered timed-out writes that `values` (read from `start`) cover.
    void settleLateWritesLocked(std::uint16_t start, std::span<const std::uint16_t> values);
    void closeLocked() noexcept;

    mutable std::mutex mutex_;
    int descriptor_ = -1;
    std::uint8_t station_ = 1;
    bool exclusive_ = false;  // this session took the terminal's exclusive flag
    std::atomic<bool> refusing_{false};
    TransactionObserver observer_;
    std::optional<DeviceIdentity> guarded_;
    bool doubtful_ = false;  // a reply timed out since the supply last proved its identity
    // The identity last read from the supply and when its request was sent.
    std::optional<DeviceIdentity> provenIdentity_;
    std::chrono::steady_clock::time_point provenAt_{};
    std::atomic<std::uint32_t> ceilings_{(std::uint32_t{Supply::voltageCentiMax} << 16) | Supply::currentCentiMax};
    LateWriteObserver lateObserver_;
    struct DoubtfulWrite {
        Bytes request;
        std::uint16_t start = 0;
        std::vector<std::uint16_t> values;
        std::string attribution;
    };
    std::vector<DoubtfulWrite> doubtfulWrites_;
    // The written registers' last known values, so that a timed-out write that changed
    // nothing is not reported as taking effect.
    std::array<std::optional<std::uint16_t>, 3> known_;  // voltage set, current set, output
};

}  // namespace varek
