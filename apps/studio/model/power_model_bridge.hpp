#pragma once

// Internal to PowerModel: what the control server's threads share with the model.

#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "power_model.hpp"
#include "varek/http.hpp"
#include "varek/output_request_queue.hpp"
#include "varek/serial_session.hpp"

namespace varek {

/// A route decision made on the GUI thread: a finished reply, or an output switch
/// to queue for `generation`.
struct PowerModel::ApiRoute {
    std::optional<ControlHTTPReply> reply;
    bool enabled = false;
    std::int64_t generation = 0;
};

/// Lets server threads run short pieces of work on the GUI thread and wait for them.
/// The model marks it closing before it joins those threads, which wakes every waiter
/// and refuses new hops, so a worker never waits on a GUI thread that waits on it.
struct PowerModel::ApiBridge : std::enable_shared_from_this<ApiBridge> {
    ApiBridge(PowerModel* owner, std::shared_ptr<SerialSession> serialSession)
        : model(owner), session(std::move(serialSession)) {}

    /// Refuses further hops and releases every waiting one. GUI thread.
    void close() {
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        changed.notify_all();
    }

    /// Runs `work(model)` on the GUI thread and returns its result; nothing when
    /// the model is closing or gone. Must not be called on the GUI thread.
    template <typename R, typename F>
    std::optional<R> onGui(F work) {
        struct Call {
            std::optional<R> result;
            bool done = false;
        };
        auto call = std::make_shared<Call>();
        std::unique_lock lock(mutex);
        if (closing) return std::nullopt;
        // Posting under the lock: the model cannot have started its destructor yet.
        QMetaObject::invokeMethod(
            model,
            [self = shared_from_this(), call, target = QPointer<PowerModel>(model),
             work = std::move(work)]() mutable {
                std::optional<R> result;
                try {
                    if (target) result = work(*target);
                } catch (...) {
                    result.reset();
                }
                std::lock_guard guard(self->mutex);
                call->result = std::move(result);
                call->done = true;
                self->changed.notify_all();
            },
            Qt::QueuedConnection);
        ++hopsPosted;  // after posting: whoever sees the count can run the hop
        changed.wait(lock, [&] { return call->done || closing; });
        if (!call->done) return std::nullopt;
        return std::move(call->result);
    }

    /// Runs `work(model)` on the GUI thread later, unless the model is closing.
    template <typename F>
    void post(F work) {
        std::lock_guard lock(mutex);
        if (closing) return;
        QMetaObject::invokeMethod(
            model,
            [target = QPointer<PowerModel>(model), work = std::move(work)]() mutable {
                if (target) work(*target);
            },
            Qt::QueuedConnection);
    }

    /// The control server's request handler (worker thread).
    ControlHTTPReply handle(const ControlHTTPRequest& request);
    /// One queued output switch (worker thread).
    ControlHTTPReply changeOutput(bool enabled, std::int64_t generation);

    std::mutex mutex;
    std::condition_variable changed;
    bool closing = false;
    // Waiting hops posted so far (diagnostics; tests use it to order events).
    std::atomic<std::uint64_t> hopsPosted{0};
    PowerModel* const model;  // valid while not closing
    const std::shared_ptr<SerialSession> session;
    OutputRequestQueue outputQueue;
};

}  // namespace varek
