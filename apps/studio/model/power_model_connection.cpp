// Connecting and ending a connection.
#include "api_host.hpp"
#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/serial_session.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

struct Connection {
    DeviceIdentity identity;
    PowerSample first;
};

QString text(const VarekError& error) { return QString::fromStdString(error.description()); }

QString designation() {
    return QString::fromUtf8(Supply::designation.data(), static_cast<qsizetype>(Supply::designation.size()));
}

}  // namespace

void PowerModel::connect() {
    if (busy_ || connected_ || selectedPort_.isEmpty()) return;
    const auto station = detail::parseDecimal(station_);
    if (!station || !Supply::validStation(*station)) {
        setErrorMessage(QStringLiteral("站号须为 %1–%2。").arg(Supply::stationMin).arg(Supply::stationMax));
        return;
    }
    setBusy(true);
    setNotice(QStringLiteral("正在识别电源…"));
    setErrorMessage(std::nullopt);
    const std::int64_t generation = ++sessionGeneration_;

    auto work = [session = session_, path = selectedPort_.toStdString(), baud = baud_,
                 station = static_cast<std::uint8_t>(*station)] {
        auto outcome = detail::attempt([&] {
            const DeviceIdentity identity = session->connect(path, baud, station);
            // Every write of this connection goes only to the supply that answered here.
            session->guardIdentity(identity);
            return Connection{identity, session->sample()};
        });
        if (!outcome.value) session->disconnect();
        return outcome;
    };
    detail::runThen(pool_, this, std::move(work), [this, generation](detail::Outcome<Connection> r) {
        if (sessionGeneration_ != generation) {
            // A disconnect came in meanwhile: it owns `busy` and the notice now; the
            // late identity is dropped and the port closed again.
            if (r.value) closeSession([] {});
            return;
        }
        if (r.error) {
            setConnected(false);
            setLatest(std::nullopt);
            setNotice(QStringLiteral("连接失败"));
            setErrorMessage(text(*r.error));
            log(text(*r.error));
            setBusy(false);
            return;
        }
        finishConnect(generation, r.value->identity, r.value->first);
    });
}

void PowerModel::finishConnect(std::int64_t generation, const DeviceIdentity& identity,
                               const PowerSample& first) {
    setIdentity(identity);
    sequenceLine_->open = true;
    api_->startSCPI(options_.scpiPort, session_, identity, sharedCeilings_);
    setLatest(first);
    samples_.clear();
    emit changed(Change::samples);
    setConnected(true);
    openRecorder();  // before the first sample, which is recorded too
    setVoltageDraft(QString::fromStdString(formatFixed2(first.voltageSet)));
    setCurrentDraft(QString::fromStdString(formatFixed2(first.currentSet)));
    accept(first);
    setNotice(QStringLiteral("实时读取中"));
    log(QStringLiteral("已连接 ") + designation() + QStringLiteral("，固件 ") +
        QString::fromStdString(formatFixed2(identity.firmware)) +
        QStringLiteral("。"));
    startPolling(generation);
    setBusy(false);
}

void PowerModel::closeSession(std::function<void()> done) {
    // SCPI's end is queued first: its server is gone before the port closes.
    api_->stopSCPI();
    auto work = [session = session_] {
        session->disconnect();
        return true;
    };
    detail::runThen(pool_, this, std::move(work), [done = std::move(done)](bool) { done(); });
}

void PowerModel::disconnect() {
    const std::int64_t generation = ++sessionGeneration_;
    stopPolling();
    setConnected(false);
    setRecovering(false);
    closeRecorder();
    abortSequence();  // before the port closes
    // Held until the port is closed, so no connect can slip in between.
    setBusy(true);
    closeSession([this, generation] {
        if (sessionGeneration_ == generation) {
            setBusy(false);
            setNotice(QStringLiteral("已断开 · 电源输出保持原有状态"));
        }
        log(QStringLiteral("串口已断开，未改变电源输出。"));
    });
}

void PowerModel::connectionFailed(const VarekError& error) {
    setConnected(false);
    setRecovering(false);
    const std::int64_t generation = ++sessionGeneration_;
    // The failing pass is the polling task itself; it simply does not re-arm.
    stopPolling();
    closeRecorder();
    abortSequence();
    setBusy(true);
    closeSession([this, generation, error] {
        if (sessionGeneration_ == generation) {
            setBusy(false);
            setNotice(QStringLiteral("连接中断 · 读数已停止"));
        }
        setErrorMessage(text(error));
        log(text(error));
    });
}

}  // namespace varek
