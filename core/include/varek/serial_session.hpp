#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "varek/device.hpp"
#include "varek/protocol.hpp"

namespace varek {

/// Owns the serial port to the supply and performs every Modbus transaction.
/// Thread-safe: public operations run one at a time, each to completion, and
/// may block the calling thread (up to 2 s per transaction, 4 per operation).
class SerialSession {
public:
    static constexpr std::array<int, 5> supportedBauds{9600, 19200, 38400, 57600, 115200};
    static constexpr std::chrono::milliseconds transactionDeadline{2000};

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
    /// One wait-and-read pass of a transaction; a validated reply once one is complete.
    std::optional<Bytes> receiveLocked(FrameBuffer& buffer, std::uint8_t function,
                                       std::chrono::steady_clock::time_point deadline);
    /// Exclusive use and raw 8N1 line settings at `baud` on the just-opened port.
    void configureLocked(int baud);
    DeviceIdentity readIdentityLocked();
    PowerSample sampleLocked();
    PowerSample setValuesLocked(std::uint16_t voltage, std::uint16_t current);
    std::vector<std::uint16_t> readRegistersLocked(std::uint16_t start, std::uint16_t count);
    void closeLocked() noexcept;

    mutable std::mutex mutex_;
    int descriptor_ = -1;
    std::uint8_t station_ = 1;
    bool exclusive_ = false;  // this session took the terminal's exclusive flag
    std::atomic<bool> refusing_{false};  // read without mutex_: it must reach a waiting transaction
};

}  // namespace varek
