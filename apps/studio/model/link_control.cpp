#include "link_control.hpp"

#include <algorithm>

#include "device_call.hpp"
#include "model_files.hpp"
#include "varek/format.hpp"
#include "varek/serial_session.hpp"
#include "varek/supply_engine.hpp"

namespace varek {
namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using detail::text;

constexpr int recoveryRateCeiling = 5;

struct Connection {
    DeviceIdentity identity;
    PowerSample first;
};

QString designation() {
    return QString::fromUtf8(Supply::designation.data(), static_cast<qsizetype>(Supply::designation.size()));
}

}  // namespace

LinkControl::LinkControl(ModelState& state, SupplyEngine& engine, std::function<std::vector<std::string>()> listPorts,
                         Hooks hooks, QString group)
    : state_(state),
      engine_(engine),
      listPorts_(std::move(listPorts)),
      hooks_(std::move(hooks)),
      rateKey_(group + QStringLiteral("refreshRate")) {
    pollTimer_.setSingleShot(true);
    pollTimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pollTimer_, &QTimer::timeout, this, [this] { pollNow(); });
}

bool LinkControl::allowedRate(long long rate) noexcept {
    return std::find(allowedRates.begin(), allowedRates.end(), rate) != allowedRates.end();
}

void LinkControl::setRefreshRate(int rate) {
    if (!allowedRate(rate)) return;
    preferences().setValue(rateKey_, rate);
    if (state_.refreshRate == rate) return;
    state_.refreshRate = rate;
    state_.announce(ModelChange::refreshRate);
}

void LinkControl::readStoredRate() {
    bool ok = false;
    const int stored = preferences().value(rateKey_, 0).toInt(&ok);
    if (ok && allowedRate(stored)) setRefreshRate(stored);
}

void LinkControl::refreshPorts() {
    const std::vector<std::string> found = listPorts_ ? listPorts_() : SerialSession::ports();
    QStringList ports;
    for (const auto& path : found) ports.append(QString::fromStdString(path));
    state_.setPorts(std::move(ports));
    if (!state_.ports.contains(state_.selectedPort)) {
        state_.setSelectedPort(state_.ports.isEmpty() ? QString() : state_.ports.first());
    }
}

void LinkControl::connect() {
    if (state_.busy || state_.connected || state_.selectedPort.isEmpty()) return;
    const auto station = detail::parseDecimal(state_.station);
    if (!station || !Supply::validStation(*station)) {
        state_.setErrorMessage(QStringLiteral("站号须为 %1–%2。").arg(Supply::stationMin).arg(Supply::stationMax));
        return;
    }
    state_.setBusy(true);
    state_.setNotice(QStringLiteral("正在识别电源…"));
    state_.setErrorMessage(std::nullopt);
    const std::int64_t generation = ++generation_;

    auto work = [engine = &engine_, path = state_.selectedPort.toStdString(), baud = state_.baud,
                 station = static_cast<std::uint8_t>(*station)] {
        SerialSession& session = engine->session();
        auto outcome = detail::attempt([&] {
            const DeviceIdentity identity = session.connect(path, baud, station);
            // Every write of this connection goes only to the supply that answered here.
            engine->serve(identity);
            return Connection{identity, session.sample()};
        });
        if (!outcome.value) session.disconnect();
        return outcome;
    };
    detail::onDevice(engine_, this, std::move(work), [this, generation](detail::Outcome<Connection> r) {
        if (generation_ != generation) {
            // A disconnect came in meanwhile: it owns `busy` and the notice now; the
            // late identity is dropped and the port closed again.
            if (r.value) closeSession([] {});
            return;
        }
        if (r.error) {
            state_.setConnected(false);
            state_.setLatest(std::nullopt);
            state_.setNotice(QStringLiteral("连接失败"));
            state_.setErrorMessage(text(*r.error));
            state_.log(text(*r.error));
            state_.setBusy(false);
            return;
        }
        finishConnect(generation, r.value->identity, r.value->first);
    });
}

void LinkControl::finishConnect(std::int64_t generation, const DeviceIdentity& identity, const PowerSample& first) {
    state_.setIdentity(identity);
    state_.setLatest(first);
    state_.samples.clear();
    state_.announce(ModelChange::samples);
    state_.setConnected(true);
    if (hooks_.began) hooks_.began(identity);  // before the first sample, which is recorded too
    state_.setVoltageDraft(QString::fromStdString(formatFixed2(first.voltageSet)));
    state_.setCurrentDraft(QString::fromStdString(formatFixed2(first.currentSet)));
    state_.accept(first);
    state_.setNotice(QStringLiteral("实时读取中"));
    state_.log(QStringLiteral("已连接 ") + designation() + QStringLiteral("，固件 ") +
               QString::fromStdString(formatFixed2(identity.firmware)) + QStringLiteral("。"));
    startPolling(generation);
    state_.setBusy(false);
}

void LinkControl::closeSession(std::function<void()> done) {
    // The connection's parts end first: SCPI's end is queued ahead of the port's close.
    auto work = [engine = &engine_] {
        engine->session().disconnect();
        return detail::Outcome<bool>{true, std::nullopt, std::nullopt};
    };
    detail::onDevice(engine_, this, std::move(work), [done = std::move(done)](const detail::Outcome<bool>&) { done(); });
}

void LinkControl::disconnect() {
    const std::int64_t generation = ++generation_;
    stopPolling();
    state_.setConnected(false);
    state_.setRecovering(false);
    if (hooks_.ending) hooks_.ending();
    // Held until the port is closed, so no connect can slip in between.
    state_.setBusy(true);
    closeSession([this, generation] {
        if (generation_ == generation) {
            state_.setBusy(false);
            state_.setNotice(QStringLiteral("已断开 · 电源输出保持原有状态"));
        }
        state_.log(QStringLiteral("串口已断开，未改变电源输出。"));
    });
}

void LinkControl::connectionFailed(const VarekError& error) {
    state_.setConnected(false);
    state_.setRecovering(false);
    const std::int64_t generation = ++generation_;
    // The failing pass is the polling task itself; it simply does not re-arm.
    stopPolling();
    if (hooks_.ending) hooks_.ending();
    state_.setBusy(true);
    closeSession([this, generation, error] {
        if (generation_ == generation) {
            state_.setBusy(false);
            state_.setNotice(QStringLiteral("连接中断 · 读数已停止"));
        }
        state_.setErrorMessage(text(error));
        state_.log(text(error));
    });
}

void LinkControl::startPolling(std::int64_t generation) {
    pollGeneration_ = generation;
    pacingCarry_ = nanoseconds::zero();
    tick_ = SteadyClock::now();
    armPoll();  // the first read comes one period after the task starts
}

void LinkControl::stopPolling() {
    pollTimer_.stop();
    pollGeneration_.reset();
}

void LinkControl::armPoll() {
    // Start to start: the wait runs from the last read's start, with the rate read
    // afresh, so a change applies from this wait. The timer counts whole milliseconds;
    // the remainder is carried into the next wait rather than lost every period.
    const nanoseconds period(1'000'000'000LL / std::max(state_.refreshRate, 1));
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

void LinkControl::pollNow() {
    if (!pollGeneration_) return;
    const std::int64_t generation = *pollGeneration_;
    if (!state_.connected || generation_ != generation) return;
    tick_ = SteadyClock::now();
    auto work = [engine = &engine_] { return detail::attempt([&] { return engine->session().sample(); }); };
    detail::onDevice(engine_, this, std::move(work), [this, generation](detail::Outcome<PowerSample> r) {
        readDone(generation, r.value, r.error);
    });
}

void LinkControl::readDone(std::int64_t generation, const std::optional<PowerSample>& sample,
                           const std::optional<VarekError>& error) {
    if (generation_ != generation) return;
    if (sample) {
        if (!state_.connected) return;
        state_.accept(*sample);
        armPoll();
    } else if (error->kind() == VarekError::Case::timeout && state_.identity) {
        recover(generation);
    } else {
        connectionFailed(*error);
    }
}

void LinkControl::recover(std::int64_t generation) {
    const int previous = state_.refreshRate;
    setRefreshRate(std::min(state_.refreshRate, recoveryRateCeiling));
    state_.setBusy(true);
    state_.setRecovering(true);
    state_.setNotice(QStringLiteral("正在核对电源身份并重读…"));
    auto work = [engine = &engine_, expected = *state_.identity] {
        return detail::attempt([&] { return engine->session().verifiedRecoverySample(expected); });
    };
    detail::onDevice(engine_, this, std::move(work), [this, generation, previous](detail::Outcome<PowerSample> r) {
        if (generation_ != generation) return;
        if (r.error) return connectionFailed(*r.error);
        if (!state_.connected) return;
        state_.accept(*r.value);
        state_.setBusy(false);
        state_.setRecovering(false);
        state_.setNotice(QStringLiteral("实时读取已恢复"));
        state_.log(previous <= recoveryRateCeiling ? QStringLiteral("单次超时后核对同一电源，读取已恢复。")
                                                   : QStringLiteral("核对同一电源后降至 5 Hz，读取已恢复。"));
        tick_ = SteadyClock::now();
        pacingCarry_ = nanoseconds::zero();
        armPoll();
    });
}

}  // namespace varek
