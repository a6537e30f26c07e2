#include "command_control.hpp"

#include <algorithm>

#include "device_call.hpp"
#include "model_files.hpp"
#include "varek/format.hpp"
#include "varek/supply_engine.hpp"

namespace varek {
namespace {

using detail::text;

QString volts(std::uint16_t centi) { return QString::fromStdString(formatFixed2(centi / 100.0)); }

}  // namespace

CommandControl::CommandControl(ModelState& state, SupplyEngine& engine, std::function<std::int64_t()> generation)
    : state_(state), engine_(engine), generation_(std::move(generation)) {}

void CommandControl::failed(const VarekError& error) {
    // A failed command leaves the connection up: only polling decides to end it.
    state_.setErrorMessage(text(error));
    state_.log(text(error));
    state_.setBusy(false);
}

void CommandControl::applyValues() {
    if (!state_.connected || state_.busy) return;
    const auto drafts = state_.draftSetpoints();
    if (const auto* refused = std::get_if<VarekError>(&drafts)) return failed(*refused);
    const auto [voltage, current] = std::get<0>(drafts);
    state_.setBusy(true);
    const std::int64_t generation = generation_();
    auto work = [engine = &engine_, voltage, current] {
        return detail::attempt([&] { return engine->session().setValues(voltage, current); });
    };
    detail::onDevice(engine_, this, std::move(work), [this, generation](detail::Outcome<PowerSample> r) {
        if (generation_() != generation) return;
        if (r.error) return failed(*r.error);  // the drafts keep the typed text
        state_.accept(*r.value);
        state_.confirmSetpoints(r.value->voltageSet, r.value->currentSet);
        state_.setBusy(false);
    });
}

void CommandControl::changeOutput(bool enabled) {
    if (!state_.connected || state_.busy) return;
    state_.setBusy(true);
    const std::int64_t generation = generation_();
    auto work = [engine = &engine_, enabled] {
        return detail::attempt([&] { return engine->session().setOutput(enabled); });
    };
    detail::onDevice(engine_, this, std::move(work), [this, generation, enabled](detail::Outcome<PowerSample> r) {
        if (generation_() != generation) return;
        if (r.error) return failed(*r.error);
        state_.accept(*r.value);
        state_.confirmOutput(enabled);
        state_.setBusy(false);
    });
}

void CommandControl::switchOff(std::function<void(bool, const QString&)> done) {
    if (!state_.connected || state_.recovering) return done(false, QStringLiteral("未连接，未写入"));
    const std::int64_t generation = generation_();
    const QPointer<QObject> owner(this);
    engine_.writeOutput(false, {"GUI", ""}, {}, [owner, this, generation, done](const SupplyEngine::WriteOutcome& r) {
        detail::hop(owner, [this, generation, done, r] {
            if (r.error || !r.sample) {
                const QString why = text(r.error.value_or(VarekError::disconnected()));
                state_.log(QStringLiteral("关闭输出未确认：") + why);
                return done(false, QStringLiteral("未确认：") + why);
            }
            if (generation_() == generation) state_.accept(*r.sample);
            state_.log(QStringLiteral("输出已关闭，寄存器读回确认。"));
            done(true, QStringLiteral("已关闭，读回确认"));
        });
    });
}

void CommandControl::lateWrite(const Bytes& request) {
    QString what = QStringLiteral("一次写入");
    if (request.size() >= 6 && request[1] == 0x06 && request[3] == Register::output) {
        what = request[5] ? QStringLiteral("开启输出") : QStringLiteral("关闭输出");
    } else if (request.size() >= 11 && request[1] == 0x10 && request[3] == Register::voltageSet) {
        const auto centi = [&](std::size_t at) { return static_cast<std::uint16_t>(request[at] << 8 | request[at + 1]); };
        what = QStringLiteral("设定 ") + volts(centi(7)) + QStringLiteral("V / ") + volts(centi(9)) + QStringLiteral("A");
    }
    state_.log(QStringLiteral("超时未确认的") + what + QStringLiteral("随后已生效（读取确认）。"));
}

}  // namespace varek
