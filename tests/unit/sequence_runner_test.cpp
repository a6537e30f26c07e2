// SequenceRunner with a clock that jumps to each deadline and a recorded device:
// the order, values and scheduled times of every operation, and what stop, abort
// and failures leave behind.
#include "varek/sequence_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "varek/error.hpp"

namespace varek {
namespace {

using std::chrono::milliseconds;

/// Jumps to every deadline at once; `onWait` sees each deadline first (in ms).
class JumpingClock final : public SequenceClock {
public:
    TimePoint now() override { return TimePoint(milliseconds(nowMs.load())); }
    void waitUntil(TimePoint at, std::stop_token interrupt) override {
        const auto target = std::chrono::duration_cast<milliseconds>(at.time_since_epoch()).count();
        if (onWait) onWait(target);
        if (interrupt.stop_requested()) return;
        if (target > nowMs) nowMs = target;
    }
    std::atomic<long long> nowMs{0};
    std::function<void(long long)> onWait;
};

/// A supply at 5.00 V / 1.00 A, output off; every operation is logged with the clock's time.
struct RecordedDevice {
    explicit RecordedDevice(JumpingClock& clock) : clock(clock) {}

    SequenceDevice operations() {
        return {
            [this](std::optional<std::uint16_t> v, std::optional<std::uint16_t> c) {
                record("set " + (v ? std::to_string(*v) : "-") + "," + (c ? std::to_string(*c) : "-"));
                clock.nowMs += writeCostMs;
                voltage = v.value_or(voltage);
                current = c.value_or(current);
                return reading();
            },
            [this](bool on) {
                record(on ? "on" : "off");
                output = on;
                return reading();
            },
            [this] {
                record("sample");
                return reading();
            },
        };
    }
    void record(const std::string& what) {
        std::lock_guard lock(mutex);
        const std::size_t index = log.size();
        log.push_back(std::to_string(clock.nowMs.load()) + " " + what);
        if (failing && failing(index, what)) throw VarekError::timeout();
    }
    PowerSample reading() const {
        PowerSample sample;
        sample.voltageSet = voltage / 100.0;
        sample.currentSet = current / 100.0;
        sample.outputEnabled = output;
        sample.current = measuredCurrent ? measuredCurrent(clock.nowMs.load()) : 0.5;
        return sample;
    }

    JumpingClock& clock;
    std::mutex mutex;
    std::vector<std::string> log;
    std::uint16_t voltage = 500;
    std::uint16_t current = 100;
    bool output = false;
    std::function<bool(std::size_t index, const std::string& what)> failing;
    std::function<double(long long ms)> measuredCurrent;
    long long writeCostMs = 0;  ///< how far a setpoint write moves the clock
};

SequenceProfile profile(bool offAtEnd, std::vector<SequenceStep> steps) { return {"p", offAtEnd, std::move(steps), {}}; }

class RunnerTest : public ::testing::Test {
protected:
    SequenceProgress runToEnd(SequenceProfile p) {
        EXPECT_TRUE(runner.start(std::move(p)));
        runner.join();
        return *runner.progress();
    }

    std::shared_ptr<JumpingClock> clock = std::make_shared<JumpingClock>();
    RecordedDevice device{*clock};
    SequenceRunner::Executor inlineExecutor = [](SequenceRunner::Job job) {
        job(true);
        return true;
    };
    std::vector<std::size_t> stepStarts;
    SequenceRunner runner{inlineExecutor, device.operations(), clock,
                          [this](const SequenceProgress& p) {
                              if (p.state == SequenceProgress::State::running) stepStarts.push_back(p.step);
                          }};
};

TEST_F(RunnerTest, RampWritesEveryTickOnScheduleThenHoldsAndSwitchesOffAtTheEnd) {
    const auto end = runToEnd(profile(true, {
        {300, std::nullopt, milliseconds(500), true, milliseconds(300), {}},
        {std::nullopt, 200, milliseconds(0), std::nullopt, milliseconds(200), {}},
        {std::nullopt, std::nullopt, milliseconds(0), false, milliseconds(50), {}},
    }));
    EXPECT_EQ(device.log, (std::vector<std::string>{
        "0 sample", "100 set 460,-", "200 set 420,-", "300 set 380,-", "400 set 340,-",
        "500 set 300,-", "500 on", "800 set -,200", "1000 off", "1050 off"}));
    EXPECT_EQ(end.state, SequenceProgress::State::finished);
    EXPECT_EQ((std::pair{end.step, end.steps}), (std::pair{std::size_t{3}, std::size_t{3}}));
    EXPECT_EQ(stepStarts, (std::vector<std::size_t>{1, 2, 3}));
}

// A write that overruns its step's hold makes that step late, never the ones after it.
TEST_F(RunnerTest, LatenessDoesNotCarryOverIntoLaterSteps) {
    device.writeCostMs = 150;
    runToEnd(profile(false, {{100, std::nullopt, milliseconds(0), std::nullopt, milliseconds(100), {}},
                             {std::nullopt, std::nullopt, milliseconds(0), std::nullopt, milliseconds(500), {}},
                             {200, std::nullopt, milliseconds(0), std::nullopt, milliseconds(0), {}}}));
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 set 100,-", "600 set 200,-"}));
}

TEST_F(RunnerTest, ARampThatIsNotAWholeNumberOfTicksEndsOnItsTarget) {
    runToEnd(profile(false, {{std::nullopt, 300, milliseconds(250), std::nullopt, milliseconds(0), {}}}));
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 sample", "100 set -,180", "200 set -,260",
                                                    "250 set -,300"}));
}

TEST_F(RunnerTest, UntilEndsTheHoldAtTheFirstReadingPastTheThresholdOrAtTheLimit) {
    device.measuredCurrent = [](long long ms) { return ms >= 300 ? 0.05 : 2.0; };
    const StepCondition below{StepCondition::Quantity::current, true, 0.1};
    const StepCondition above{StepCondition::Quantity::current, false, 5.0};
    runToEnd(profile(false, {
        {std::nullopt, std::nullopt, milliseconds(0), true, milliseconds(10000), below},
        {100, std::nullopt, milliseconds(0), std::nullopt, milliseconds(250), above},
        {200, std::nullopt, milliseconds(0), std::nullopt, milliseconds(0), {}},
    }));
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 on", "100 sample", "200 sample", "300 sample",
                                                    "300 set 100,-", "400 sample", "500 sample",
                                                    "550 set 200,-"}));
}

TEST_F(RunnerTest, ADeviceFailureAbortsWithItsReasonAndSwitchesOffOnceTheSupplyAnswers) {
    // The second write fails, then the first attempt to switch off: the second attempt succeeds.
    device.failing = [](std::size_t index, const std::string&) { return index == 2 || index == 3; };
    const auto end = runToEnd(profile(true, {{300, std::nullopt, milliseconds(300), true, milliseconds(1000), {}}}));
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 sample", "100 set 433,-", "200 set 367,-", "200 off",
                                                    "1200 off"}));
    EXPECT_EQ(end.state, SequenceProgress::State::aborted);
    EXPECT_EQ(end.reason, VarekError::timeout().description());
}

TEST_F(RunnerTest, AnOffThatNeverConfirmsIsReported) {
    device.failing = [](std::size_t, const std::string& what) { return what != "on"; };
    const auto end = runToEnd(profile(true, {{std::nullopt, std::nullopt, milliseconds(0), true, milliseconds(5), {}}}));
    // Every attempt to switch off at the end fails, a second apart.
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 on", "5 off", "1005 off", "2005 off", "3005 off",
                                                    "4005 off"}));
    EXPECT_EQ(end.state, SequenceProgress::State::aborted);
    EXPECT_EQ(end.reason, "输出未能确认关闭：" + VarekError::timeout().description());
}

TEST_F(RunnerTest, StopMidHoldAppliesOnEnd) {
    for (const bool off : {true, false}) {
        SCOPED_TRACE(off);
        device.log.clear();
        clock->nowMs = 0;
        std::optional<SequenceProgress> reported;
        clock->onWait = [&](long long target) {
            if (target == 5000) runner.stop([&](const SequenceProgress& p) { reported = p; });
        };
        const auto end = runToEnd(profile(off, {{100, std::nullopt, milliseconds(0), true, milliseconds(5000), {}},
                                                {200, std::nullopt, milliseconds(0), std::nullopt, milliseconds(1), {}}}));
        EXPECT_EQ(end.state, SequenceProgress::State::stopped);
        EXPECT_EQ(reported ? reported->state : SequenceProgress::State::running, SequenceProgress::State::stopped);
        std::vector<std::string> expected{"0 set 100,-", "0 on"};
        if (off) expected.push_back("0 off");
        EXPECT_EQ(device.log, expected);
    }
}

TEST_F(RunnerTest, AbortWritesNothingMoreEvenWithOffAtEnd) {
    clock->onWait = [&](long long target) {
        if (target == 200) runner.abort("程序退出");
    };
    const auto end = runToEnd(profile(true, {{300, std::nullopt, milliseconds(1000), true, milliseconds(0), {}}}));
    EXPECT_EQ(device.log, (std::vector<std::string>{"0 sample", "100 set 480,-"}));
    EXPECT_EQ(end.state, SequenceProgress::State::aborted);
    EXPECT_EQ(end.reason, "程序退出");
}

TEST(SequenceRunner, AJobQueuedBeforeAnAbortLeavesTheDeviceAlone) {
    auto clock = std::make_shared<JumpingClock>();
    RecordedDevice device{*clock};
    std::mutex mutex;
    std::vector<SequenceRunner::Job> queued;
    SequenceRunner runner(
        [&](SequenceRunner::Job job) {
            std::lock_guard lock(mutex);
            queued.push_back(std::move(job));
            return true;
        },
        device.operations(), clock);
    ASSERT_TRUE(runner.start(profile(true, {{100, std::nullopt, milliseconds(0), true, milliseconds(0), {}}})));
    auto takeJob = [&] {
        std::lock_guard lock(mutex);
        return queued.empty() ? SequenceRunner::Job{} : queued.front();
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!takeJob() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    EXPECT_FALSE(runner.start(profile(false, {{100, std::nullopt, milliseconds(0), true, milliseconds(0), {}}})));
    runner.abort("disconnected");
    takeJob()(true);
    runner.join();
    EXPECT_TRUE(device.log.empty());
    EXPECT_EQ(runner.progress()->state, SequenceProgress::State::aborted);
    EXPECT_EQ(runner.progress()->reason, "disconnected");
}

TEST(SequenceRunner, ALineThatRefusesWorkAbortsWithoutTouchingTheDevice) {
    auto clock = std::make_shared<JumpingClock>();
    RecordedDevice device{*clock};
    SequenceRunner runner([](SequenceRunner::Job) { return false; }, device.operations(), clock);
    EXPECT_FALSE(runner.progress());
    ASSERT_TRUE(runner.start(profile(true, {{100, std::nullopt, milliseconds(0), true, milliseconds(0), {}}})));
    runner.join();
    EXPECT_TRUE(device.log.empty());
    EXPECT_EQ(runner.progress()->state, SequenceProgress::State::aborted);
    EXPECT_EQ(runner.progress()->reason.substr(0, 18), "串口已断开。");
    runner.close();
    EXPECT_FALSE(runner.start(profile(false, {{100, std::nullopt, milliseconds(0), true, milliseconds(0), {}}})));
}

}  // namespace
}  // namespace varek
