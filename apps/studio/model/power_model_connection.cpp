// Connecting and ending a connection.
#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/serial_session.hpp"
#include "varek/format.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/scpi_server.hpp"

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
            return Connection{identity, session->sample()};
        });
        if (!outcome.value) session->disconnect();
        return outcome;
    };
    detail::runThen(pool_, this, std::move(work), [this, generation](detail::Outcome<Connection> r) {
        if (sessionGeneration_ != generation) {
            // A disconnect came in meanwhile: it owns `busy` and the notice now; the
            // late identity is dropped and the port closed again.
            if (r.value) closeSession(nullptr, [] {});
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
    startSCPIServer(identity);
    setLatest(first);
    samples_.clear();
    emit changed(Change::samples);
    setConnected(true);
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

void PowerModel::startSCPIServer(const DeviceIdentity& identity) {
    try {
        SerialSession& session = *session_;
        scpiServer_ = std::make_unique<SCPIServer>(
            options_.scpiPort, [&session, identity] { return std::make_unique<SCPIInstrument>(session, identity); });
        // A port that cannot be bound is reported through the status callback rather
        // than by start() throwing; it must not pass silently, or the user would
        // believe SCPI is listening. Every other status line is ignored.
        scpiServer_->start([this](const std::string& line) {
            static constexpr std::string_view failed = "SCPI failed: ";
            if (!line.starts_with(failed)) return;
            const QString reason = QString::fromStdString(line.substr(failed.size()));
            // Queued onto the GUI thread; the model outlives its SCPI servers.
            QMetaObject::invokeMethod(
                this, [this, reason] { log(QStringLiteral("SCPI启动失败：") + reason); }, Qt::QueuedConnection);
        });
    } catch (const VarekError& e) {
        log(QStringLiteral("SCPI启动失败：") + text(e));
    } catch (const std::exception& e) {
        log(QStringLiteral("SCPI启动失败：") + QString::fromStdString(e.what()));
    }
}

std::shared_ptr<std::unique_ptr<SCPIServer>> PowerModel::retireSCPIServer() {
    if (!scpiServer_) return nullptr;
    scpiServer_->stop();
    return std::make_shared<std::unique_ptr<SCPIServer>>(std::move(scpiServer_));
}

void PowerModel::closeSession(std::shared_ptr<std::unique_ptr<SCPIServer>> retired, std::function<void()> done) {
    // Destroying the SCPI server joins its line workers, which may be inside a session
    // call: that wait belongs on the worker, before the port closes.
    auto work = [session = session_, retired] {
        if (retired) retired->reset();
        session->disconnect();
        return true;
    };
    detail::runThen(pool_, this, std::move(work), [done = std::move(done)](bool) { done(); });
}

void PowerModel::disconnect() {
    auto retired = retireSCPIServer();
    const std::int64_t generation = ++sessionGeneration_;
    stopPolling();
    setConnected(false);
    setRecovering(false);
    // Held until the port is closed, so no connect can slip in between.
    setBusy(true);
    closeSession(std::move(retired), [this, generation] {
        if (sessionGeneration_ == generation) {
            setBusy(false);
            setNotice(QStringLiteral("已断开 · 电源输出保持原有状态"));
        }
        log(QStringLiteral("串口已断开，未改变电源输出。"));
    });
}

void PowerModel::connectionFailed(const VarekError& error) {
    auto retired = retireSCPIServer();
    setConnected(false);
    setRecovering(false);
    const std::int64_t generation = ++sessionGeneration_;
    // The failing pass is the polling task itself; it simply does not re-arm.
    stopPolling();
    setBusy(true);
    closeSession(std::move(retired), [this, generation, error] {
        if (sessionGeneration_ == generation) {
            setBusy(false);
            setNotice(QStringLiteral("连接中断 · 读数已停止"));
        }
        setErrorMessage(text(error));
        log(text(error));
    });
}

}  // namespace varek
