#include "varek/output_request_queue.hpp"

#include <utility>

namespace varek {
namespace {

/// Keeps `pending` counting a caller from its place in line until it returns.
struct PendingCaller {
    std::atomic<std::size_t>& pending;
    ~PendingCaller() { --pending; }
};

}  // namespace

ControlHTTPReply OutputRequestQueue::perform(bool enabled, Operation operation) {
    std::promise<ControlHTTPReply> promise;
    const std::shared_future<ControlHTTPReply> mine = promise.get_future().share();
    std::optional<std::shared_future<ControlHTTPReply>> predecessor;
    const Uuid id = Uuid::random();
    std::unique_lock lock(mutex_);
    // Deciding to merge and replacing the tail happen under one lock, so two
    // callers can never both take the same tail as their predecessor.
    ++pending_;
    const PendingCaller counted{pending_};
    if (tail_ && tail_->enabled == enabled) {
        const auto merged = tail_->task;
        lock.unlock();
        return merged.get();
    }
    if (tail_) predecessor = tail_->task;
    tail_ = Tail{id, enabled, mine};
    lock.unlock();

    if (predecessor) predecessor->wait();
    try {
        promise.set_value(operation(enabled));
    } catch (...) {
        // Callers merged onto this request wait on the promise: it must be kept.
        promise.set_value(ControlHTTPReply(502, {{"ok", false}}));
    }

    lock.lock();
    if (tail_ && tail_->id == id) tail_.reset();
    lock.unlock();
    return mine.get();
}

}  // namespace varek
