#include "varek/poller.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "varek/device_worker.hpp"
#include "varek/platform.hpp"
#include "varek/serial_session.hpp"

namespace varek {

struct Poller::State {
    DeviceWorker& worker;
    SerialSession& session;
    const std::chrono::milliseconds period;
    const Consumer consumer;
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    std::optional<Result> result;  // the finished read, until the poller thread takes it
    std::thread thread;

    State(DeviceWorker& w, SerialSession& s, std::chrono::milliseconds p, Consumer c)
        : worker(w), session(s), period(p), consumer(std::move(c)) {}

    void run(const std::shared_ptr<State>& self) {
        platform::nameThisThread("VAREK.Poller");
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            if (!post(self)) return;
            std::optional<Result> taken;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [this] { return stopping || result; });
                if (stopping) return;
                taken.swap(result);
            }
            consumer(*taken);
            // Start to start; a read that overran its period is followed at once,
            // never by a burst of catch-up reads.
            start = std::max(start + period, std::chrono::steady_clock::now());
            std::unique_lock lock(mutex);
            if (changed.wait_until(lock, start, [this] { return stopping; })) return;
        }
    }

    /// Queues one read; false when the worker refuses it or polling stops.
    bool post(const std::shared_ptr<State>& self) {
        // The job holds the state: it may still run after the poller is gone.
        return worker.post([self](bool run) {
            Result outcome;
            if (!run) {
                outcome.error = VarekError::disconnected();
            } else {
                {
                    std::lock_guard lock(self->mutex);
                    if (self->stopping) return;
                }
                try {
                    outcome.sample = self->session.sample();
                } catch (const VarekError& error) {
                    outcome.error = error;
                } catch (const std::exception& error) {
                    outcome.error = VarekError::io(error.what());
                }
            }
            {
                std::lock_guard lock(self->mutex);
                self->result = std::move(outcome);
            }
            self->changed.notify_all();
        });
    }
};

Poller::Poller(DeviceWorker& worker, SerialSession& session, std::chrono::milliseconds period, Consumer consumer)
    : state_(std::make_shared<State>(worker, session, period, std::move(consumer))) {
    state_->thread = std::thread([state = state_] { state->run(state); });
}

Poller::~Poller() { stop(); }

void Poller::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace varek
