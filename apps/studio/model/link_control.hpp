#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model_state.hpp"
#include "varek/error.hpp"

namespace varek {

class SupplyEngine;

/// Connecting, polling and ending a connection for one supply: the port list, the
/// polling task paced start to start on a monotonic clock, and one verified recovery
/// read after a timeout. Lives on the GUI thread; every session call runs on the
/// engine's device thread.
class LinkControl : public QObject {
public:
    static constexpr std::array<int, 4> allowedRates{1, 2, 5, 10};
    /// What the rest of the model does as a connection begins and ends (GUI thread).
    struct Hooks {
        /// A supply answered: SCPI and recording start for it, before the first sample is taken in.
        std::function<void(const DeviceIdentity&)> began;
        /// The connection ends: SCPI, recording and a running sequence end before the port closes.
        std::function<void()> ending;
    };

    /// `engine` and `state` must outlive this object; `listPorts` lists serial ports;
    /// the rate is kept under the preference key `group` + "refreshRate".
    LinkControl(ModelState& state, SupplyEngine& engine, std::function<std::vector<std::string>()> listPorts,
                Hooks hooks, QString group = {});

    void refreshPorts();
    void connect();
    void disconnect();
    /// Accepts only 1, 2, 5 or 10, and persists it as "refreshRate".
    void setRefreshRate(int rate);
    /// Takes the stored rate, when it is one of the allowed.
    void readStoredRate();
    /// Changes with every connect, disconnect and connection failure.
    std::int64_t generation() const noexcept { return generation_; }
    static bool allowedRate(long long rate) noexcept;

private:
    void finishConnect(std::int64_t generation, const DeviceIdentity& identity, const PowerSample& first);
    /// Ends the connection's parts, then closes the port on the device thread, then `done` here.
    void closeSession(std::function<void()> done);
    void connectionFailed(const VarekError& error);
    void startPolling(std::int64_t generation);
    void stopPolling();
    void armPoll();
    void pollNow();
    void readDone(std::int64_t generation, const std::optional<PowerSample>& sample,
                  const std::optional<VarekError>& error);
    void recover(std::int64_t generation);

    ModelState& state_;
    SupplyEngine& engine_;
    std::function<std::vector<std::string>()> listPorts_;
    Hooks hooks_;
    const QString rateKey_;
    std::int64_t generation_ = 0;
    // The polling task: its generation while it runs, its pacing timer, the monotonic
    // start of the last read, and the part of the last wait the millisecond timer
    // could not express (carried into the next wait so the mean period stays exact).
    std::optional<std::int64_t> pollGeneration_;
    QTimer pollTimer_;
    std::chrono::steady_clock::time_point tick_;
    std::chrono::nanoseconds pacingCarry_{0};
};

}  // namespace varek
