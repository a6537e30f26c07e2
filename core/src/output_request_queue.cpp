#include "varek/output_request_queue.hpp"

#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace varek {

namespace {

struct Requester {
    OutputRequestQueue::Predicate gone;
    OutputRequestQueue::Done done;
};

/// One switching operation and everyone who waits for its outcome.
struct Request {
    bool enabled = false;
    OutputRequestQueue::Operation operation;
    std::vector<Requester> requesters;  // guarded by State::mutex
};

}  // namespace

struct OutputRequestQueue::State : std::enable_shared_from_this<State> {
    std::mutex mutex;
    std::deque<std::shared_ptr<Request>> line;  // front is running while `running`
    bool running = false;
    std::size_t pending = 0;

    /// True while any requester of `request` still waits. Takes the lock.
    bool wanted(const std::shared_ptr<Request>& request) {
        std::vector<Predicate> checks;
        {
            std::lock_guard lock(mutex);
            for (const auto& requester : request->requesters) checks.push_back(requester.gone);
        }
        for (const auto& gone : checks) {
            if (!gone || !gone()) return true;
        }
        return false;
    }

    /// Starts the front request unless one is running. Requests nobody waits for any
    /// more are dropped here, before they reach the device.
    void advance() {
        for (;;) {
            std::shared_ptr<Request> next;
            {
                std::lock_guard lock(mutex);
                if (running || line.empty()) return;
                next = line.front();
                running = true;
            }
            if (wanted(next)) return start(next);
            std::lock_guard lock(mutex);
            pending -= next->requesters.size();
            line.pop_front();
            running = false;
        }
    }

    void start(const std::shared_ptr<Request>& request) {
        auto self = shared_from_this();
        Predicate wantedNow = [weakSelf = weak_from_this(), request] {
            const auto state = weakSelf.lock();
            return state && state->wanted(request);
        };
        try {
            request->operation(request->enabled, std::move(wantedNow),
                               [self, request](const Outcome& outcome) { self->finish(request, outcome); });
        } catch (...) {
            // Requesters wait on this outcome: a throwing operation must still end it.
            finish(request, Outcome{std::nullopt, VarekError::io("输出切换失败。")});
        }
    }

    void finish(const std::shared_ptr<Request>& request, const Outcome& outcome) {
        std::vector<Requester> requesters;
        {
            std::lock_guard lock(mutex);
            if (line.empty() || line.front() != request) return;  // finished twice: ignore
            line.pop_front();
            running = false;
            requesters = std::move(request->requesters);
            request->requesters.clear();
            pending -= requesters.size();
        }
        for (auto& requester : requesters) {
            if (requester.done) requester.done(outcome);
        }
        advance();
    }
};

OutputRequestQueue::OutputRequestQueue() : state_(std::make_shared<State>()) {}

OutputRequestQueue::~OutputRequestQueue() = default;

void OutputRequestQueue::perform(bool enabled, Operation operation, Predicate gone, Done done) {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->pending;
        // The newest request that has not finished takes same-state callers along:
        // deciding to merge and joining happen under one lock.
        if (!state_->line.empty() && state_->line.back()->enabled == enabled) {
            state_->line.back()->requesters.push_back({std::move(gone), std::move(done)});
            return;
        }
        auto request = std::make_shared<Request>();
        request->enabled = enabled;
        request->operation = std::move(operation);
        request->requesters.push_back({std::move(gone), std::move(done)});
        state_->line.push_back(std::move(request));
    }
    state_->advance();
}

std::size_t OutputRequestQueue::pending() const noexcept {
    std::lock_guard lock(state_->mutex);
    return state_->pending;
}

}  // namespace varek
