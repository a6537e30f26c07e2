// The polling task: one status read per period, paced start to start on a monotonic
// clock, with one verified recovery read after a timeout.
#include <algorithm>

#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr int recoveryRateCeiling = 5;

}  // namespace

void PowerModel::startPolling(std::int64_t generation) {
    pollGeneration_ = generation;
    pacingCarry_ = nanoseconds::zero();
    tick_ = SteadyClock::now();
    armPoll();  // the first read comes one period after the task starts
}

void PowerModel::stopPolling() {
    pollTimer_.stop();
    pollGeneration_.reset();
}

void PowerModel::armPoll() {
    // Start to start: the wait runs from the last read's start, with the rate read
    // afresh, so a change applies from this wait. The timer counts whole milliseconds;
    // the remainder is carried into the next wait rather than lost every period.
    const nanoseconds period(1'000'000'000LL / std::max(refreshRate_, 1));
    const nanoseconds remaining = tick_ + period - SteadyClock::now();
    if (remaining <= nanoseconds::zero()) {
        pacingCarry_ = nanoseconds::zero();  // a slow read: the next follows at once
        pollTimer_.start(milliseconds::zero());
        return;
    }
    const nanoseconds wanted = remaining + pacingCarry_;
    const milliseconds wait = std::max(std::chrono::round<milliseconds>(wanted), milliseconds::zero());
    pacingCarry_ = std::clamp<nanoseconds>(wanted - wait, -milliseconds(1), milliseconds(1));
    pollTimer_.start(wait);
}

void PowerModel::pollNow() {
    if (!pollGeneration_) return;
    const std::int64_t generation = *pollGeneration_;
    if (!connected_ || sessionGeneration_ != generation) return;
    tick_ = SteadyClock::now();
    auto work = [session = session_] { return detail::attempt([&] { return session->sample(); }); };
    detail::runThen(pool_, this, std::move(work), [this, generation](detail::Outcome<PowerSample> r) {
        readDone(generation, r.value, r.error);
    });
}

void PowerModel::readDone(std::int64_t generation, const std::optional<PowerSample>& sample,
                          const std::optional<VarekError>& error) {
    if (sessionGeneration_ != generation) return;
    if (sample) {
        if (!connected_) return;
        accept(*sample);
        armPoll();
    } else if (error->kind() == VarekError::Case::timeout && identity_) {
        recover(generation);
    } else {
        connectionFailed(*error);
    }
}

void PowerModel::recover(std::int64_t generation) {
    const int previous = refreshRate_;
    setRefreshRate(std::min(refreshRate_, recoveryRateCeiling));
    setBusy(true);
    setRecovering(true);
    setNotice(QStringLiteral("正在核对电源身份并重读…"));
    auto work = [session = session_, expected = *identity_] {
        return detail::attempt([&] { return session->verifiedRecoverySample(expected); });
    };
    detail::runThen(pool_, this, std::move(work), [this, generation, previous](detail::Outcome<PowerSample> r) {
        if (sessionGeneration_ != generation) return;
        if (r.error) {
            connectionFailed(*r.error);
            return;
        }
        if (!connected_) return;
        accept(*r.value);
        setBusy(false);
        setRecovering(false);
        setNotice(QStringLiteral("实时读取已恢复"));
        log(previous <= recoveryRateCeiling ? QStringLiteral("单次超时后核对同一电源，读取已恢复。")
                                            : QStringLiteral("核对同一电源后降至 5 Hz，读取已恢复。"));
        tick_ = SteadyClock::now();
        pacingCarry_ = nanoseconds::zero();
        armPoll();
    });
}

}  // namespace varek
