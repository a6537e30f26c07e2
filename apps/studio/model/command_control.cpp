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

QString fixed(double value) { return QString::fromStdString(formatFixed2(value)); }

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
    std::uint16_t voltage = 0;
    std::uint16_t current = 0;
    try {
        // Voltage first: with both texts wrong only its message shows.
        voltage = Modbus::centiUnits(state_.voltageDraft.toStdString(), Supply::voltageMax);
        current = Modbus::centiUnits(state_.currentDraft.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        return failed(e);
    }
    if (const auto breach = state_.ceilings.breach(voltage, current)) {
        return failed(VarekError::invalid(breach->alert()));
    }
    state_.setBusy(true);
    const std::int64_t generation = generation_();
    auto work = [engine = &engine_, voltage, current] {
        return detail::attempt([&] { return engine->session().setValues(voltage, current); });
    };
    detail::onDevice(engine_, this, std::move(work), [this, generation](detail::Outcome<PowerSample> r) {
        if (generation_() != generation) return;
        if (r.error) return failed(*r.error);  // the drafts keep the typed text
        state_.accept(*r.value);
        state_.setVoltageDraft(fixed(r.value->voltageSet));
        state_.setCurrentDraft(fixed(r.value->currentSet));
        state_.setNotice(QStringLiteral("设定值已应用并读回确认"));
        state_.log(QStringLiteral("设定 ") + state_.voltageDraft + QStringLiteral("V / ") + state_.currentDraft +
                   QStringLiteral("A 已读回确认。"));
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
        state_.setNotice(enabled ? QStringLiteral("输出已开启，状态已读回") : QStringLiteral("输出已关闭，状态已读回"));
        state_.log(enabled ? QStringLiteral("输出已开启，寄存器读回确认。") : QStringLiteral("输出已关闭，寄存器读回确认。"));
        state_.setBusy(false);
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

void CommandControl::readStored() {
    QSettings stored = preferences();
    const int count = stored.beginReadArray(QStringLiteral("presets"));
    for (int i = 0; i < count; ++i) {
        stored.setArrayIndex(i);
        const QString name = stored.value(QStringLiteral("name")).toString();
        const uint voltage = stored.value(QStringLiteral("voltageCenti")).toUInt();
        const uint current = stored.value(QStringLiteral("currentCenti")).toUInt();
        // A hand-edited entry outside the supply's range is dropped rather than applied later.
        if (name.isEmpty() || voltage > Supply::voltageCentiMax || current > Supply::currentCentiMax) continue;
        state_.presets.push_back({name, static_cast<std::uint16_t>(voltage), static_cast<std::uint16_t>(current)});
    }
    stored.endArray();
    SafetyCeilings read;
    read.voltageCenti = static_cast<std::uint16_t>(
        std::min<uint>(stored.value(QStringLiteral("maxVoltageCenti"), Supply::voltageCentiMax).toUInt(),
                       Supply::voltageCentiMax));
    read.currentCenti = static_cast<std::uint16_t>(
        std::min<uint>(stored.value(QStringLiteral("maxCurrentCenti"), Supply::currentCentiMax).toUInt(),
                       Supply::currentCentiMax));
    state_.ceilings = read;
    engine_.setCeilings(read);
}

void CommandControl::writePresets() {
    QSettings stored = preferences();
    stored.remove(QStringLiteral("presets"));
    stored.beginWriteArray(QStringLiteral("presets"), static_cast<int>(state_.presets.size()));
    for (std::size_t i = 0; i < state_.presets.size(); ++i) {
        stored.setArrayIndex(static_cast<int>(i));
        stored.setValue(QStringLiteral("name"), state_.presets[i].name);
        stored.setValue(QStringLiteral("voltageCenti"), state_.presets[i].voltage);
        stored.setValue(QStringLiteral("currentCenti"), state_.presets[i].current);
    }
    stored.endArray();
    state_.announce(ModelChange::presets);
}

bool CommandControl::savePreset(const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) return false;
    Preset preset{trimmed, 0, 0};
    try {
        preset.voltage = Modbus::centiUnits(state_.voltageDraft.toStdString(), Supply::voltageMax);
        preset.current = Modbus::centiUnits(state_.currentDraft.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        state_.setErrorMessage(text(e));
        return false;
    }
    if (const auto breach = state_.ceilings.breach(preset.voltage, preset.current)) {
        state_.setErrorMessage(QString::fromStdString(breach->alert()));
        return false;
    }
    auto& presets = state_.presets;
    const auto same = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.name == trimmed; });
    if (same != presets.end()) {
        *same = preset;
    } else {
        presets.push_back(preset);
    }
    writePresets();
    state_.log(QStringLiteral("已保存预设「") + trimmed + QStringLiteral("」：") + volts(preset.voltage) +
               QStringLiteral("V / ") + volts(preset.current) + QStringLiteral("A。"));
    return true;
}

bool CommandControl::renamePreset(const QString& from, const QString& to) {
    auto& presets = state_.presets;
    const QString trimmed = to.trimmed();
    const auto named = [&](const QString& name) {
        return std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.name == name; });
    };
    const auto found = named(from);
    if (found == presets.end() || trimmed.isEmpty() || (trimmed != from && named(trimmed) != presets.end())) {
        return false;
    }
    found->name = trimmed;
    writePresets();
    return true;
}

void CommandControl::deletePreset(const QString& name) {
    const auto before = state_.presets.size();
    std::erase_if(state_.presets, [&](const Preset& p) { return p.name == name; });
    if (state_.presets.size() != before) writePresets();
}

void CommandControl::recallPreset(const QString& name) {
    const auto& presets = state_.presets;
    const auto found = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.name == name; });
    if (found == presets.end() || !state_.connected || state_.busy) return;
    state_.setVoltageDraft(volts(found->voltage));
    state_.setCurrentDraft(volts(found->current));
    state_.log(QStringLiteral("调用预设「") + name + QStringLiteral("」。"));
    applyValues();
}

void CommandControl::setCeilings(SafetyCeilings ceilings) {
    ceilings.voltageCenti = std::min(ceilings.voltageCenti, Supply::voltageCentiMax);
    ceilings.currentCenti = std::min(ceilings.currentCenti, Supply::currentCentiMax);
    if (ceilings == state_.ceilings) return;
    state_.ceilings = ceilings;
    engine_.setCeilings(ceilings);
    QSettings stored = preferences();
    stored.setValue(QStringLiteral("maxVoltageCenti"), ceilings.voltageCenti);
    stored.setValue(QStringLiteral("maxCurrentCenti"), ceilings.currentCenti);
    state_.log(QStringLiteral("安全上限：") + volts(ceilings.voltageCenti) + QStringLiteral("V / ") +
               volts(ceilings.currentCenti) + QStringLiteral("A。"));
    state_.announce(ModelChange::ceilings);
}

}  // namespace varek
