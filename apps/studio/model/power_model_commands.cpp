// The dashboard's two commands: apply the setpoint drafts, switch the output.
#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/serial_session.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

QString text(const VarekError& error) { return QString::fromStdString(error.description()); }

}  // namespace

void PowerModel::commandFailed(const VarekError& error) {
    // A failed command leaves the connection up: only polling decides to end it.
    setErrorMessage(text(error));
    log(text(error));
    setBusy(false);
}

void PowerModel::lateWrite(const Bytes& request) {
    QString what = QStringLiteral("一次写入");
    if (request.size() >= 6 && request[1] == 0x06 && request[3] == Register::output) {
        what = request[5] ? QStringLiteral("开启输出") : QStringLiteral("关闭输出");
    } else if (request.size() >= 11 && request[1] == 0x10 && request[3] == Register::voltageSet) {
        const auto centi = [&](std::size_t at) { return (request[at] << 8 | request[at + 1]) / 100.0; };
        what = QStringLiteral("设定 ") + QString::fromStdString(formatFixed2(centi(7))) + QStringLiteral("V / ") +
               QString::fromStdString(formatFixed2(centi(9))) + QStringLiteral("A");
    }
    log(QStringLiteral("超时未确认的") + what + QStringLiteral("随后已生效（读取确认）。"));
}

void PowerModel::applyValues() {
    if (!connected_ || busy_) return;
    std::uint16_t voltage = 0;
    std::uint16_t current = 0;
    try {
        // Voltage first: with both texts wrong only its message shows.
        voltage = Modbus::centiUnits(voltageDraft_.toStdString(), Supply::voltageMax);
        current = Modbus::centiUnits(currentDraft_.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        return commandFailed(e);
    }
    if (const auto refused = ceilingViolation(voltage, current)) return commandFailed(*refused);
    setBusy(true);
    const std::int64_t generation = sessionGeneration_;
    auto work = [session = session_, voltage, current] {
        return detail::attempt([&] { return session->setValues(voltage, current); });
    };
    detail::runThen(pool_, this, std::move(work), [this, generation](detail::Outcome<PowerSample> r) {
        if (sessionGeneration_ != generation) return;
        if (r.error) return commandFailed(*r.error);  // the drafts keep the typed text
        accept(*r.value);
        setVoltageDraft(QString::fromStdString(formatFixed2(r.value->voltageSet)));
        setCurrentDraft(QString::fromStdString(formatFixed2(r.value->currentSet)));
        setNotice(QStringLiteral("设定值已应用并读回确认"));
        log(QStringLiteral("设定 ") + voltageDraft_ + QStringLiteral("V / ") + currentDraft_ +
            QStringLiteral("A 已读回确认。"));
        setBusy(false);
    });
}

void PowerModel::changeOutput(bool enabled) {
    if (!connected_ || busy_) return;
    setBusy(true);
    const std::int64_t generation = sessionGeneration_;
    auto work = [session = session_, enabled] {
        return detail::attempt([&] { return session->setOutput(enabled); });
    };
    detail::runThen(pool_, this, std::move(work), [this, generation, enabled](detail::Outcome<PowerSample> r) {
        if (sessionGeneration_ != generation) return;
        if (r.error) return commandFailed(*r.error);
        accept(*r.value);
        setNotice(enabled ? QStringLiteral("输出已开启，状态已读回") : QStringLiteral("输出已关闭，状态已读回"));
        log(enabled ? QStringLiteral("输出已开启，寄存器读回确认。") : QStringLiteral("输出已关闭，寄存器读回确认。"));
        setBusy(false);
    });
}

}  // namespace varek
