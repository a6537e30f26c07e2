#include "varek/device_worker.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "varek/platform.hpp"

namespace varek {

struct DeviceWorker::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool stopping = false;
    bool busy = false;
    std::thread thread;

    void run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return stopping || !jobs.empty(); });
                if (jobs.empty()) return;  // stopping and nothing left
                job = std::move(jobs.front());
                jobs.pop_front();
                busy = true;
            }
            try {
                job(true);
            } catch (...) {
                // A job's failure is its own; the next job still gets its turn.
            }
            std::lock_guard lock(mutex);
            busy = false;
        }
    }
};

DeviceWorker::DeviceWorker(const std::string& threadName) : state_(std::make_shared<State>()) {
    state_->thread = std::thread([state = state_.get(), threadName] {
        platform::nameThisThread(threadName);
        state->run();
    });
}

DeviceWorker::~DeviceWorker() { stop(); }

bool DeviceWorker::post(Job job) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) return false;
        state_->jobs.push_back(std::move(job));
    }
    state_->changed.notify_one();
    return true;
}

void DeviceWorker::stop() {
    std::deque<Job> refused;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        refused.swap(state_->jobs);
    }
    state_->changed.notify_all();
    // Queued work fails at once instead of waiting for its turn at a supply that
    // will not be asked any more.
    for (auto& job : refused) {
        try {
            job(false);
        } catch (...) {
        }
    }
    if (state_->thread.joinable()) state_->thread.join();
}

std::size_t DeviceWorker::pending() const noexcept {
    std::lock_guard lock(state_->mutex);
    return state_->jobs.size() + (state_->busy ? 1 : 0);
}

}  // namespace varek
