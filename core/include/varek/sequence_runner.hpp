#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "varek/device.hpp"
#include "varek/sequence_profile.hpp"

namespace varek {

class SerialSession;
class SequenceRun;

/// Where the latest run stands.
struct SequenceProgress {
    /// running until the run ends as finished, stopped (by a client) or aborted.
    enum class State { running, finished, stopped, aborted };

    std::string name;  ///< the profile's name
    State state = State::running;
    std::size_t step = 1;  ///< 1-based
    std::size_t steps = 0;  ///< steps in the profile
    double stepElapsed = 0;  ///< seconds since the step began (frozen once the run ended)
    std::string reason;      ///< why the run was aborted; empty otherwise

    /// "running", "finished", "stopped" or "aborted".
    static std::string_view stateName(State state) noexcept;
};

/// The supply operations a sequence needs. Each blocks until the supply confirmed
/// it by read-back and throws VarekError on failure.
struct SequenceDevice {
    /// Writes the given setpoints (hundredths); a missing one keeps its value read afresh.
    std::function<PowerSample(std::optional<std::uint16_t>, std::optional<std::uint16_t>)> setpoints;
    /// Switches the output, confirmed by read-back.
    std::function<PowerSample(bool on)> setOutput;
    /// One fresh status read.
    std::function<PowerSample()> sample;

    /// setValues / setVoltage / setCurrent, setOutput and sample of `session`, which must outlive the runner.
    static SequenceDevice of(SerialSession& session);
};

/// Time as a runner sees it; tests substitute a clock that jumps.
class SequenceClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~SequenceClock() = default;
    /// The current time.
    virtual TimePoint now() = 0;
    /// Returns once `at` has come, or earlier once `interrupt` is requested.
    virtual void waitUntil(TimePoint at, std::stop_token interrupt) = 0;
    /// The steady clock, waiting on a condition variable.
    static std::shared_ptr<SequenceClock> steady();
};

/// Runs one profile at a time on a thread of its own. Every device operation is
/// handed to the executor (the program's one device line) and waited for there;
/// the runner never touches the supply itself. Thread-safe; no call blocks on the device.
class SequenceRunner {
public:
    /// A device operation's turn: `run` is false when it will never get one.
    using Job = std::function<void(bool run)>;
    /// Queues `job` on the line that owns the device; false when it cannot (then the job is never called).
    using Executor = std::function<bool(Job)>;
    /// Hears a run's progress as each step begins and once as it ends.
    using Listener = std::function<void(const SequenceProgress&)>;
    /// Spacing of ramp writes and of condition reads.
    static constexpr std::chrono::milliseconds tick{100};
    /// After a device failure with "on_end": "off", switching off is tried this often, a second apart.
    static constexpr int offAttempts = 5;

    /// `listener` (may be empty) hears every step start and the end of a run, on the runner's thread.
    SequenceRunner(Executor executor, SequenceDevice device,
                   std::shared_ptr<SequenceClock> clock = SequenceClock::steady(), Listener listener = {});
    /// close(), then join().
    ~SequenceRunner();
    SequenceRunner(const SequenceRunner&) = delete;
    SequenceRunner& operator=(const SequenceRunner&) = delete;

    /// Starts `profile`; false (nothing changes) while a run is going or after close().
    bool start(SequenceProfile profile);
    /// The latest run's progress; nothing before the first start.
    std::optional<SequenceProgress> progress() const;
    /// True while a run is going.
    bool running() const;
    /// Asks the run to stop and apply its "on_end"; `done` receives the final progress
    /// on the runner's thread, or at once (this thread) when no run is going.
    void stop(std::function<void(const SequenceProgress&)> done = {});
    /// Ends the run as "aborted" with `reason` and no further device operation (one
    /// already with the device may finish). Does not block.
    void abort(std::string reason);
    /// Refuses every later start and aborts the run (shutdown). Does not block.
    void close();
    /// Waits until the latest run's thread has ended; its device jobs must still get
    /// their turn (run or refused), or this waits for them.
    void join();

private:
    friend class SequenceRun;
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace varek
