#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "varek/device.hpp"
#include "varek/serial_session.hpp"

namespace varek {

class DeviceWorker;

/// Keeps varek-server's link to the supply found at start-up: when the session
/// reports the supply gone or the port closed, it closes the port and opens the
/// same path again, at once and then every retry period, until the same model and
/// serial answer. It only opens and reads identities, through the device worker;
/// it never writes. Every change of link state is one line for the owner.
class LinkSupervisor {
public:
    struct Settings {
        std::string path;
        int baud = 115200;
        std::uint8_t station = 1;
        DeviceIdentity expected;
        std::chrono::milliseconds retry{250};
    };
    using Lines = std::function<void(const std::string& line)>;
    /// What the link is doing now, for clients that show it.
    struct State {
        enum class Kind { connected, lost, refused };
        Kind kind = Kind::connected;
        /// When the link went down (lost or refused); the epoch while connected.
        Timestamp since{};
        /// Why it went down.
        std::string reason;
        /// The supply that answered instead of the expected one (refused).
        std::optional<DeviceIdentity> found;
    };

    /// Starts watching; `session` and `worker` must outlive the supervisor.
    LinkSupervisor(SerialSession& session, DeviceWorker& worker, Settings settings, Lines lines);
    /// stop().
    ~LinkSupervisor();
    LinkSupervisor(const LinkSupervisor&) = delete;
    LinkSupervisor& operator=(const LinkSupervisor&) = delete;

    /// Fed with every transaction's outcome (the session's observer); quick, any thread.
    void observe(const SerialSession::TransactionOutcome& outcome);
    /// Ends supervision; no further reopening starts. Idempotent.
    void stop();
    /// Times the supply was opened again after a loss.
    std::uint64_t reconnects() const noexcept { return reconnects_.load(); }
    /// The current link state. Any thread.
    State state() const;

private:
    enum class Attempt { back, absent, refused, stopped };
    void run();
    /// Runs `work` as one job of the worker and waits for it; false when it did not run.
    bool onWorker(const std::function<void()>& work);
    Attempt reopen(std::optional<DeviceIdentity>& found);
    void recover();

    SerialSession& session_;
    DeviceWorker& worker_;
    const Settings settings_;
    const Lines lines_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool linked_ = true;
    std::string lostReason_;
    std::optional<DeviceIdentity> refusedBy_;
    State state_;
    std::atomic<std::uint64_t> reconnects_{0};
    std::thread thread_;
};

}  // namespace varek
