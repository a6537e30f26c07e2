// Named setpoint presets and the safety ceilings, both kept in the preferences.
#include <QSettings>

#include <algorithm>

#include "power_model.hpp"
#include "varek/format.hpp"
#include "varek/serial_session.hpp"
#include "varek/protocol.hpp"

namespace varek {
namespace {

QSettings preferences() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

QString volts(std::uint16_t centi) { return QString::fromStdString(formatFixed2(centi / 100.0)); }

std::uint32_t pack(const SafetyCeilings& c) { return (std::uint32_t{c.voltageCenti} << 16) | c.currentCenti; }

}  // namespace

void PowerModel::readStoredPresets() {
    QSettings stored = preferences();
    const int count = stored.beginReadArray(QStringLiteral("presets"));
    for (int i = 0; i < count; ++i) {
        stored.setArrayIndex(i);
        const QString name = stored.value(QStringLiteral("name")).toString();
        const uint voltage = stored.value(QStringLiteral("voltageCenti")).toUInt();
        const uint current = stored.value(QStringLiteral("currentCenti")).toUInt();
        // A hand-edited entry outside the supply's range is dropped rather than applied later.
        if (name.isEmpty() || voltage > Supply::voltageCentiMax || current > Supply::currentCentiMax) continue;
        presets_.push_back({name, static_cast<std::uint16_t>(voltage), static_cast<std::uint16_t>(current)});
    }
    stored.endArray();
}

void PowerModel::writePresets() {
    QSettings stored = preferences();
    stored.remove(QStringLiteral("presets"));
    stored.beginWriteArray(QStringLiteral("presets"), static_cast<int>(presets_.size()));
    for (std::size_t i = 0; i < presets_.size(); ++i) {
        stored.setArrayIndex(static_cast<int>(i));
        stored.setValue(QStringLiteral("name"), presets_[i].name);
        stored.setValue(QStringLiteral("voltageCenti"), presets_[i].voltage);
        stored.setValue(QStringLiteral("currentCenti"), presets_[i].current);
    }
    stored.endArray();
    emit changed(Change::presets);
}

bool PowerModel::savePreset(const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) return false;
    Preset preset{trimmed, 0, 0};
    try {
        preset.voltage = Modbus::centiUnits(voltageDraft_.toStdString(), Supply::voltageMax);
        preset.current = Modbus::centiUnits(currentDraft_.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        setErrorMessage(QString::fromStdString(e.description()));
        return false;
    }
    if (const auto refused = ceilingViolation(preset.voltage, preset.current)) {
        setErrorMessage(QString::fromStdString(refused->description()));
        return false;
    }
    const auto same = std::find_if(presets_.begin(), presets_.end(), [&](const Preset& p) { return p.name == trimmed; });
    if (same != presets_.end()) {
        *same = preset;
    } else {
        presets_.push_back(preset);
    }
    writePresets();
    log(QStringLiteral("已保存预设「") + trimmed + QStringLiteral("」：") + volts(preset.voltage) +
        QStringLiteral("V / ") + volts(preset.current) + QStringLiteral("A。"));
    return true;
}

bool PowerModel::renamePreset(const QString& from, const QString& to) {
    const QString trimmed = to.trimmed();
    const auto named = [&](const QString& name) {
        return std::find_if(presets_.begin(), presets_.end(), [&](const Preset& p) { return p.name == name; });
    };
    const auto found = named(from);
    if (found == presets_.end() || trimmed.isEmpty() || (trimmed != from && named(trimmed) != presets_.end())) {
        return false;
    }
    found->name = trimmed;
    writePresets();
    return true;
}

void PowerModel::deletePreset(const QString& name) {
    const auto before = presets_.size();
    std::erase_if(presets_, [&](const Preset& p) { return p.name == name; });
    if (presets_.size() != before) writePresets();
}

void PowerModel::recallPreset(const QString& name) {
    const auto found = std::find_if(presets_.begin(), presets_.end(), [&](const Preset& p) { return p.name == name; });
    if (found == presets_.end() || !connected_ || busy_) return;
    setVoltageDraft(volts(found->voltage));
    setCurrentDraft(volts(found->current));
    log(QStringLiteral("调用预设「") + name + QStringLiteral("」。"));
    applyValues();
}

void PowerModel::readStoredCeilings() {
    const QSettings stored = preferences();
    SafetyCeilings read;
    read.voltageCenti = static_cast<std::uint16_t>(
        std::min<uint>(stored.value(QStringLiteral("maxVoltageCenti"), Supply::voltageCentiMax).toUInt(),
                       Supply::voltageCentiMax));
    read.currentCenti = static_cast<std::uint16_t>(
        std::min<uint>(stored.value(QStringLiteral("maxCurrentCenti"), Supply::currentCentiMax).toUInt(),
                       Supply::currentCentiMax));
    ceilings_ = read;
    sharedCeilings_ = std::make_shared<std::atomic<std::uint32_t>>(pack(ceilings_));
    session_->limitSetpoints(ceilings_);
}

void PowerModel::setCeilings(SafetyCeilings ceilings) {
    ceilings.voltageCenti = std::min(ceilings.voltageCenti, Supply::voltageCentiMax);
    ceilings.currentCenti = std::min(ceilings.currentCenti, Supply::currentCentiMax);
    if (ceilings == ceilings_) return;
    ceilings_ = ceilings;
    sharedCeilings_->store(pack(ceilings_));
    session_->limitSetpoints(ceilings_);
    QSettings stored = preferences();
    stored.setValue(QStringLiteral("maxVoltageCenti"), ceilings_.voltageCenti);
    stored.setValue(QStringLiteral("maxCurrentCenti"), ceilings_.currentCenti);
    log(QStringLiteral("安全上限：") + volts(ceilings_.voltageCenti) + QStringLiteral("V / ") +
        volts(ceilings_.currentCenti) + QStringLiteral("A。"));
    emit changed(Change::ceilings);
}

std::optional<VarekError> PowerModel::ceilingViolation(std::uint16_t voltage, std::uint16_t current) const {
    if (voltage > ceilings_.voltageCenti) {
        return VarekError::invalid("电压设定超过安全上限 " + formatFixed2(ceilings_.voltage()) + " V。");
    }
    if (current > ceilings_.currentCenti) {
        return VarekError::invalid("电流设定超过安全上限 " + formatFixed2(ceilings_.current()) + " A。");
    }
    return std::nullopt;
}

}  // namespace varek
