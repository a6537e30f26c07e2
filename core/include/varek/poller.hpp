#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "varek/device.hpp"
#include "varek/error.hpp"

namespace varek {

class DeviceWorker;
class SerialSession;

/// One status read per period, paced start to start, each run as a job of the
/// device worker between whole operations of other clients. Results are handed to
/// the consumer on the poller's own thread ("VAREK.Poller"), so a slow consumer (a
/// disk) never holds up the supply's line.
class Poller {
public:
    /// The sample, or why there is none this period.
    struct Result {
        std::optional<PowerSample> sample;
        std::optional<VarekError> error;
    };
    using Consumer = std::function<void(const Result&)>;
    /// The rates offered, in reads per second.
    static bool validRate(int hertz) noexcept { return hertz == 1 || hertz == 2 || hertz == 5 || hertz == 10; }

    /// Starts polling at once; `worker` and `session` must outlive the poller.
    Poller(DeviceWorker& worker, SerialSession& session, std::chrono::milliseconds period, Consumer consumer);
    /// stop().
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    /// No read starts from now on; waits for the consumer to return. Idempotent.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace varek
