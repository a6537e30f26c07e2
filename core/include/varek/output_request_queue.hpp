#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "varek/device.hpp"
#include "varek/error.hpp"

namespace varek {

/// Puts output switching in one line: operations run one after another in arrival
/// order, and a request for the same state as the newest unfinished one shares its
/// outcome instead of running again. An ordering primitive: it blocks no thread and
/// knows nothing of HTTP.
class OutputRequestQueue {
public:
    /// A confirmed sample, or the error that ended the switch.
    struct Outcome {
        std::optional<PowerSample> sample;
        std::optional<VarekError> error;
    };
    using Done = std::function<void(const Outcome&)>;
    using Predicate = std::function<bool()>;
    /// Switches to `enabled` and calls `finished` exactly once, from any thread (also
    /// before returning). `wanted` is false once every requester has gone: check it
    /// right before the device is touched, and finish with an error instead.
    using Operation = std::function<void(bool enabled, Predicate wanted, Done finished)>;

    OutputRequestQueue();
    /// Operations still running may finish later; their requesters are then answered.
    ~OutputRequestQueue();
    OutputRequestQueue(const OutputRequestQueue&) = delete;
    OutputRequestQueue& operator=(const OutputRequestQueue&) = delete;

    /// Joins the line. `gone` tells whether this requester has stopped waiting;
    /// `done` receives the outcome of this request or of the one it merged with. A
    /// request whose requesters have all gone before its turn is dropped unrun, and
    /// its `done` callbacks are never called.
    void perform(bool enabled, Operation operation, Predicate gone, Done done);
    /// Requesters in line (running, queued or merged).
    std::size_t pending() const noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace varek
