#include "varek/sequence_runner.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "varek/error.hpp"
#include "varek/platform.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

/// Thrown inside a run when a client asked it to stop or it was aborted.
struct Interrupted {};

using TimePoint = SequenceClock::TimePoint;
using Done = std::function<void(const SequenceProgress&)>;

class SteadyClock final : public SequenceClock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void waitUntil(TimePoint at, std::stop_token interrupt) override {
        std::mutex mutex;
        std::condition_variable_any woken;
        std::unique_lock lock(mutex);
        woken.wait_until(lock, interrupt, at, [] { return false; });
    }
};

VarekError lineClosed() { return VarekError::disconnected(); }

std::string describe(const std::exception& error) {
    if (const auto* varek = dynamic_cast<const VarekError*>(&error)) return varek->description();
    return error.what();
}

}  // namespace

std::string_view SequenceProgress::stateName(State state) noexcept {
    switch (state) {
        case State::running: return "running";
        case State::finished: return "finished";
        case State::stopped: return "stopped";
        case State::aborted: return "aborted";
    }
    return "aborted";
}

SequenceDevice SequenceDevice::of(SerialSession& session) {
    return {
        [&session](std::optional<std::uint16_t> voltage, std::optional<std::uint16_t> current) {
            if (voltage && current) return session.setValues(*voltage, *current);
            if (voltage) return session.setVoltage(*voltage);
            return session.setCurrent(current.value_or(0));
        },
        [&session](bool on) { return session.setOutput(on); },
        [&session] { return session.sample(); },
    };
}

std::shared_ptr<SequenceClock> SequenceClock::steady() { return std::make_shared<SteadyClock>(); }

struct SequenceRunner::State {
    Executor executor;
    SequenceDevice device;
    std::shared_ptr<SequenceClock> clock;
    Listener listener;

    mutable std::mutex mutex;
    std::optional<SequenceProgress> progress;
    TimePoint stepStarted;
    bool running = false;
    bool closed = false;
    // Per run: jobs of an aborted run read `aborting` right before they would touch the device.
    std::shared_ptr<std::atomic<bool>> aborting;
    std::string abortReason;
    std::stop_source interrupt;  // stop or abort
    std::stop_source abortOnly;
    std::vector<Done> stopWaiters;
    std::thread thread;

    SequenceProgress snapshotLocked() const {
        SequenceProgress copy = *progress;
        if (running) copy.stepElapsed = std::chrono::duration<double>(clock->now() - stepStarted).count();
        return copy;
    }
};

/// One run on its own thread: the steps, then "on_end", then the final state.
class SequenceRun {
public:
    /// With the state's mutex held: the run takes this run's abort flag and tokens.
    SequenceRun(std::shared_ptr<SequenceRunner::State> state, SequenceProfile profile)
        : state_(std::move(state)),
          profile_(std::move(profile)),
          aborting_(state_->aborting),
          interrupt_(state_->interrupt.get_token()),
          abortOnly_(state_->abortOnly.get_token()) {}

    void execute() {
        TimePoint scheduled = clock().now();
        try {
            for (std::size_t i = 0; i < profile_.steps.size(); ++i) {
                beginStep(i);
                scheduled = runStep(profile_.steps[i], scheduled);
            }
            return endWithOnEnd(SequenceProgress::State::finished);
        } catch (const Interrupted&) {
            if (!*aborting_) return endWithOnEnd(SequenceProgress::State::stopped);
        } catch (const std::exception& error) {
            if (!*aborting_) return failed(describe(error));
        }
        finish(SequenceProgress::State::aborted, abortReason());
    }

private:
    SequenceClock& clock() { return *state_->clock; }

    std::string abortReason() {
        std::lock_guard lock(state_->mutex);
        return state_->abortReason;
    }

    void checkInterrupted() {
        if (interrupt_.stop_requested()) throw Interrupted{};
    }

    void wait(TimePoint at) {
        clock().waitUntil(at, interrupt_);
        checkInterrupted();
    }

    /// Runs `operation` on the executor's line and waits for its outcome.
    template <typename Operation>
    PowerSample perform(Operation operation) {
        if (*aborting_) throw Interrupted{};
        auto promise = std::make_shared<std::promise<PowerSample>>();
        auto future = promise->get_future();
        const bool queued = state_->executor([promise, aborting = aborting_, operation](bool run) {
            if (!run) return promise->set_exception(std::make_exception_ptr(lineClosed()));
            if (*aborting) return promise->set_exception(std::make_exception_ptr(Interrupted{}));
            try {
                promise->set_value(operation());
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        if (!queued) throw lineClosed();
        return future.get();
    }

    PowerSample setpoints(std::optional<std::uint16_t> voltage, std::optional<std::uint16_t> current) {
        return perform([device = state_->device, voltage, current] { return device.setpoints(voltage, current); });
    }
    PowerSample output(bool on) {
        return perform([device = state_->device, on] { return device.setOutput(on); });
    }
    PowerSample sample() {
        return perform([device = state_->device] { return device.sample(); });
    }

    void beginStep(std::size_t index) {
        SequenceProgress copy;
        {
            std::lock_guard lock(state_->mutex);
            state_->progress->step = index + 1;
            state_->stepStarted = clock().now();
            copy = state_->snapshotLocked();
        }
        if (state_->listener) state_->listener(copy);
    }

    /// The step's writes and hold; returns when the next step is due.
    TimePoint runStep(const SequenceStep& step, TimePoint start) {
        checkInterrupted();
        if (step.voltage || step.current) {
            if (step.ramp.count() > 0) ramp(step, start);
            else setpoints(step.voltage, step.current);
        }
        if (step.output) output(*step.output);
        const TimePoint holdEnd = start + step.ramp + step.hold;
        if (step.until) return awaitCondition(*step.until, start + step.ramp, holdEnd);
        // The schedule is absolute: a step whose writes ran late holds less, so that
        // lateness never carries over into the steps after it.
        wait(holdEnd);
        return holdEnd;
    }

    /// Moves the setpoints the step names from where the supply stands (or from the
    /// ceiling, should it stand above) to the step's values. A setpoint the step does not
    /// name is never written from this snapshot: each tick keeps it as read afresh, so a
    /// change a client made meanwhile stays.
    void ramp(const SequenceStep& step, TimePoint start) {
        const PowerSample from = sample();
        const SafetyCeilings& ceilings = profile_.ceilings;
        const long v0 = std::min<long>(std::lround(from.voltageSet * 100), ceilings.voltageCenti);
        const long c0 = std::min<long>(std::lround(from.currentSet * 100), ceilings.currentCenti);
        const auto ticks = (step.ramp + SequenceRunner::tick - std::chrono::milliseconds(1)) / SequenceRunner::tick;
        for (long k = 1; k <= ticks; ++k) {
            const auto offset = std::min(step.ramp, SequenceRunner::tick * k);
            wait(start + offset);
            const double fraction = static_cast<double>(offset.count()) / static_cast<double>(step.ramp.count());
            const auto towards = [fraction](long from, std::optional<std::uint16_t> to) -> std::optional<std::uint16_t> {
                if (!to) return std::nullopt;
                return static_cast<std::uint16_t>(std::lround(from + (long{*to} - from) * fraction));
            };
            setpoints(towards(v0, step.voltage), towards(c0, step.current));
        }
    }

    /// Reads afresh every tick from one tick after the hold began (a reading taken at
    /// the instant of a switch has not settled yet) until `condition` holds or `holdEnd`.
    TimePoint awaitCondition(const StepCondition& condition, TimePoint holdStart, TimePoint holdEnd) {
        for (TimePoint next = std::max(holdStart, clock().now()) + SequenceRunner::tick;;
             next += SequenceRunner::tick) {
            if (next >= holdEnd) {
                wait(holdEnd);
                return holdEnd;
            }
            wait(next);
            if (condition.met(sample())) return clock().now();
        }
    }

    void endWithOnEnd(SequenceProgress::State state) {
        const std::optional<std::string> offFailure = profile_.offAtEnd ? switchOff() : std::nullopt;
        if (*aborting_) return finish(SequenceProgress::State::aborted, abortReason());
        if (offFailure) return finish(SequenceProgress::State::aborted, "输出未能确认关闭：" + *offFailure);
        finish(state, "");
    }

    /// A device failure: with "on_end": "off" the output is switched off as soon as
    /// the supply answers again.
    void failed(const std::string& reason) {
        const std::optional<std::string> offFailure = profile_.offAtEnd ? switchOff() : std::nullopt;
        if (*aborting_) return finish(SequenceProgress::State::aborted, abortReason());
        finish(SequenceProgress::State::aborted, offFailure ? reason + "；输出未能确认关闭：" + *offFailure : reason);
    }

    /// Switches the output off, up to offAttempts times a second apart, until an abort;
    /// the last failure's text when it was never confirmed.
    std::optional<std::string> switchOff() {
        std::string failure;
        for (int attempt = 1; attempt <= SequenceRunner::offAttempts; ++attempt) {
            const TimePoint began = clock().now();
            try {
                output(false);
                return std::nullopt;
            } catch (const Interrupted&) {
                return std::nullopt;
            } catch (const std::exception& error) {
                failure = describe(error);
            }
            if (attempt < SequenceRunner::offAttempts) clock().waitUntil(began + std::chrono::seconds(1), abortOnly_);
        }
        return failure;
    }

    void finish(SequenceProgress::State state, std::string reason) {
        SequenceProgress copy;
        std::vector<Done> waiters;
        {
            std::lock_guard lock(state_->mutex);
            copy = state_->snapshotLocked();
            copy.state = state;
            copy.reason = std::move(reason);
            *state_->progress = copy;
            state_->running = false;
            waiters.swap(state_->stopWaiters);
        }
        if (state_->listener) state_->listener(copy);
        for (const Done& done : waiters) done(copy);
    }

    std::shared_ptr<SequenceRunner::State> state_;
    SequenceProfile profile_;
    std::shared_ptr<std::atomic<bool>> aborting_;
    std::stop_token interrupt_;
    std::stop_token abortOnly_;
};

SequenceRunner::SequenceRunner(Executor executor, SequenceDevice device, std::shared_ptr<SequenceClock> clock,
                               Listener listener)
    : state_(std::make_shared<State>()) {
    state_->executor = std::move(executor);
    state_->device = std::move(device);
    state_->clock = std::move(clock);
    state_->listener = std::move(listener);
}

SequenceRunner::~SequenceRunner() {
    close();
    join();
}

bool SequenceRunner::start(SequenceProfile profile) {
    std::thread previous;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->running || state_->closed) return false;
        previous.swap(state_->thread);
    }
    // The previous run has ended but its thread may still be answering stop waiters.
    if (previous.joinable()) previous.join();
    std::lock_guard lock(state_->mutex);
    if (state_->running || state_->closed) return false;
    state_->running = true;
    state_->aborting = std::make_shared<std::atomic<bool>>(false);
    state_->abortReason.clear();
    state_->interrupt = std::stop_source();
    state_->abortOnly = std::stop_source();
    state_->progress = SequenceProgress{profile.name, SequenceProgress::State::running, 1, profile.steps.size(), 0, ""};
    state_->stepStarted = state_->clock->now();
    auto run = std::make_shared<SequenceRun>(state_, std::move(profile));
    state_->thread = std::thread([run] {
        platform::nameThisThread("VAREK.Sequence");
        run->execute();
    });
    return true;
}

std::optional<SequenceProgress> SequenceRunner::progress() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->progress) return std::nullopt;
    return state_->snapshotLocked();
}

bool SequenceRunner::running() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

void SequenceRunner::stop(std::function<void(const SequenceProgress&)> done) {
    std::optional<SequenceProgress> now;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->running) {
            if (done) state_->stopWaiters.push_back(std::move(done));
            state_->interrupt.request_stop();
            return;
        }
        now = state_->progress;
    }
    if (done && now) done(*now);
}

void SequenceRunner::abort(std::string reason) {
    std::lock_guard lock(state_->mutex);
    if (!state_->running || *state_->aborting) return;
    state_->abortReason = std::move(reason);
    *state_->aborting = true;
    state_->interrupt.request_stop();
    state_->abortOnly.request_stop();
}

void SequenceRunner::close() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closed = true;
    }
    abort("程序退出，序列已中止。");
}

void SequenceRunner::join() {
    std::thread thread;
    {
        std::lock_guard lock(state_->mutex);
        thread.swap(state_->thread);
    }
    if (!thread.joinable()) return;
    // A listener that ends the runner runs on the run's own thread, which cannot join itself.
    if (thread.get_id() == std::this_thread::get_id()) return thread.detach();
    thread.join();
}

}  // namespace varek
