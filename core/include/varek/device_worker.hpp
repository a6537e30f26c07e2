#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace varek {

/// One thread that runs device work one job at a time, in arrival order, so that
/// nothing which waits on the supply ever holds up replies that need no device.
class DeviceWorker {
public:
    /// `run` is true when the job gets its turn, false when the worker stopped first.
    using Job = std::function<void(bool run)>;

    /// Starts the thread, named `threadName` (cut to 15 bytes).
    explicit DeviceWorker(const std::string& threadName);
    /// stop().
    ~DeviceWorker();
    DeviceWorker(const DeviceWorker&) = delete;
    DeviceWorker& operator=(const DeviceWorker&) = delete;

    /// Queues `job`; false (and nothing is called) once stopped.
    bool post(Job job);
    /// Refuses new jobs, hands every queued job `false` at once, waits for the one
    /// running and joins the thread. Idempotent; not from the worker's own thread.
    void stop();
    /// Jobs queued and running.
    std::size_t pending() const noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace varek
