#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "varek/device.hpp"
#include "varek/protocol.hpp"

namespace varek::sim {

struct SimulatorOptions {
    std::uint16_t model = DeviceIdentity::supportedModel;
    std::uint32_t serial = 12345;
    std::uint16_t firmwareHundredths = 123;  ///< register 3: 123 reads as 1.23
    std::uint8_t station = 1;
    double loadOhms = 10.0;                  ///< resistive load on the output
    std::chrono::microseconds latency{0};    ///< added before every reply
    int wireBaud = 0;                        ///< >0: bytes leave at this baud rate's pace (10 bits/byte)
};

/// A simulated supply on a real pseudo-terminal. Clients open `path()` like a
/// serial device. Serves Modbus RTU from its own thread; every setter is
/// thread-safe and takes effect from the next request.
class SupplySimulator {
public:
    explicit SupplySimulator(SimulatorOptions options = {});
    /// Stops the thread and closes both sides.
    ~SupplySimulator();
    SupplySimulator(const SupplySimulator&) = delete;
    SupplySimulator& operator=(const SupplySimulator&) = delete;

    /// The terminal device path (for example /dev/pts/7).
    const std::string& path() const noexcept;

    /// Holding register value (any address 0..65535; unmapped ones read 0).
    std::uint16_t reg(std::uint16_t address) const;
    /// Sets a holding register directly, as the front panel would. Setpoints (8, 9),
    /// output (18) and identity (0..3) feed the load model; any other register is
    /// pinned at `value` from then on, so tests can stage a reading.
    void setReg(std::uint16_t address, std::uint16_t value);

    // Fault injection.
    void setSilent(bool silent);                          ///< read requests, answer nothing
    void setLatency(std::chrono::microseconds latency);
    void setWireBaud(int baud);                           ///< 0 turns pacing off
    void setStrayBytes(Bytes bytes);                      ///< sent before every reply
    void setSplitReply(int parts);                        ///< replies in this many writes (<=1: one)
    void corruptNextCrc(int replies);                     ///< that many replies with a broken CRC
    void setExceptionCode(std::optional<std::uint8_t> code);  ///< answer every request with it
    void setOutputStuck(bool stuck);                      ///< echo output writes, keep register 18
    void setSetpointsStuck(bool stuck);                   ///< echo setpoint writes, keep registers 8-9
    void setSerial(std::uint32_t serial);                 ///< identity changes under the client
    /// Closes the controller side: the client sees a hang-up. Irreversible.
    void hangUp();

    /// Every request frame received, in order (including ones left unanswered).
    std::vector<Bytes> requests() const;
    std::size_t requestCount() const;
    void clearRequests();
    /// Waits until at least `count` requests were received; false on timeout.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    /// Called on the simulator thread for every request received, before it is
    /// answered (so a client holding a reply can rely on the log). Must not call hangUp().
    void onRequest(std::function<void(const Bytes&)> callback);

    /// Mean time from the last request byte to the reply's first byte written, in
    /// microseconds, over all replies so far (the simulator's own turnaround).
    double meanTurnaroundMicros() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace varek::sim
