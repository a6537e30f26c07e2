#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

#include "varek/device.hpp"
#include "varek/http.hpp"

namespace varek {

/// Runs output-switching operations one after another in arrival order; a request
/// for the same state as the newest queued one shares its reply instead of running.
class OutputRequestQueue {
public:
    /// Must not throw: failures become replies.
    using Operation = std::function<ControlHTTPReply(bool enabled)>;

    /// Blocks the calling thread until this request's (or the merged one's) reply exists.
    ControlHTTPReply perform(bool enabled, Operation operation);
    /// Callers inside perform that have joined the line (running, queued or merged).
    std::size_t pending() const noexcept { return pending_.load(); }

private:
    struct Tail {
        Uuid id;
        bool enabled = false;
        std::shared_future<ControlHTTPReply> task;
    };
    std::mutex mutex_;
    std::optional<Tail> tail_;
    std::atomic<std::size_t> pending_{0};
};

}  // namespace varek
