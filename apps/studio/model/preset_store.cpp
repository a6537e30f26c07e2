#include "preset_store.hpp"

#include <algorithm>

#include "model_files.hpp"
#include "varek/format.hpp"
#include "varek/protocol.hpp"

namespace varek {
namespace {

QString volts(std::uint16_t centi) { return QString::fromStdString(formatFixed2(centi / 100.0)); }

QString serialGroup(std::uint32_t serial) { return QStringLiteral("supply-%1/").arg(serial); }

std::uint16_t clampedCenti(const QSettings& stored, const QString& key, std::uint16_t maximum) {
    return static_cast<std::uint16_t>(std::min<uint>(stored.value(key, maximum).toUInt(), maximum));
}

}  // namespace

PresetStore::PresetStore(ModelState& state, std::function<void(const SafetyCeilings&)> ceilingsChanged,
                         std::function<void()> apply)
    : state_(state), ceilingsChanged_(std::move(ceilingsChanged)), apply_(std::move(apply)) {}

void PresetStore::readStored() {
    read(QString());
    ceilingsChanged_(state_.ceilings);
}

void PresetStore::useSerial(std::uint32_t serial) {
    serial_ = serial;
    if (!read(serialGroup(serial))) return;
    ceilingsChanged_(state_.ceilings);
    state_.announce(ModelChange::presets | ModelChange::ceilings);
}

bool PresetStore::read(const QString& group) {
    QSettings stored = preferences();
    if (!group.isEmpty() && !stored.contains(group + QStringLiteral("maxVoltageCenti"))) return false;
    std::vector<Preset> presets;
    const int count = stored.beginReadArray(group + QStringLiteral("presets"));
    for (int i = 0; i < count; ++i) {
        stored.setArrayIndex(i);
        const QString name = stored.value(QStringLiteral("name")).toString();
        const uint voltage = stored.value(QStringLiteral("voltageCenti")).toUInt();
        const uint current = stored.value(QStringLiteral("currentCenti")).toUInt();
        // A hand-edited entry outside the supply's range is dropped rather than applied later.
        if (name.isEmpty() || voltage > Supply::voltageCentiMax || current > Supply::currentCentiMax) continue;
        presets.push_back({name, static_cast<std::uint16_t>(voltage), static_cast<std::uint16_t>(current)});
    }
    stored.endArray();
    state_.presets = std::move(presets);
    state_.ceilings = {clampedCenti(stored, group + QStringLiteral("maxVoltageCenti"), Supply::voltageCentiMax),
                       clampedCenti(stored, group + QStringLiteral("maxCurrentCenti"), Supply::currentCentiMax)};
    return true;
}

void PresetStore::writePresets() {
    QSettings stored = preferences();
    const auto writeUnder = [&](const QString& group) {
        stored.remove(group + QStringLiteral("presets"));
        stored.beginWriteArray(group + QStringLiteral("presets"), static_cast<int>(state_.presets.size()));
        for (std::size_t i = 0; i < state_.presets.size(); ++i) {
            stored.setArrayIndex(static_cast<int>(i));
            stored.setValue(QStringLiteral("name"), state_.presets[i].name);
            stored.setValue(QStringLiteral("voltageCenti"), state_.presets[i].voltage);
            stored.setValue(QStringLiteral("currentCenti"), state_.presets[i].current);
        }
        stored.endArray();
    };
    writeUnder(QString());
    if (serial_) {
        writeUnder(serialGroup(*serial_));
        writeCeilings();  // marks the serial's group as stored
    }
    state_.announce(ModelChange::presets);
}

void PresetStore::writeCeilings() {
    QSettings stored = preferences();
    const auto writeUnder = [&](const QString& group) {
        stored.setValue(group + QStringLiteral("maxVoltageCenti"), state_.ceilings.voltageCenti);
        stored.setValue(group + QStringLiteral("maxCurrentCenti"), state_.ceilings.currentCenti);
    };
    writeUnder(QString());
    if (serial_) writeUnder(serialGroup(*serial_));
}

bool PresetStore::save(const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) return false;
    Preset preset{trimmed, 0, 0};
    try {
        preset.voltage = Modbus::centiUnits(state_.voltageDraft.toStdString(), Supply::voltageMax);
        preset.current = Modbus::centiUnits(state_.currentDraft.toStdString(), Supply::currentMax);
    } catch (const VarekError& e) {
        state_.setErrorMessage(QString::fromStdString(e.description()));
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

bool PresetStore::rename(const QString& from, const QString& to) {
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

void PresetStore::remove(const QString& name) {
    const auto before = state_.presets.size();
    std::erase_if(state_.presets, [&](const Preset& p) { return p.name == name; });
    if (state_.presets.size() != before) writePresets();
}

void PresetStore::recall(const QString& name) {
    const auto& presets = state_.presets;
    const auto found = std::find_if(presets.begin(), presets.end(), [&](const Preset& p) { return p.name == name; });
    if (found == presets.end() || !state_.connected || state_.busy) return;
    state_.setVoltageDraft(volts(found->voltage));
    state_.setCurrentDraft(volts(found->current));
    state_.log(QStringLiteral("调用预设「") + name + QStringLiteral("」。"));
    apply_();
}

void PresetStore::setCeilings(SafetyCeilings ceilings) {
    ceilings.voltageCenti = std::min(ceilings.voltageCenti, Supply::voltageCentiMax);
    ceilings.currentCenti = std::min(ceilings.currentCenti, Supply::currentCentiMax);
    if (ceilings == state_.ceilings) return;
    state_.ceilings = ceilings;
    ceilingsChanged_(ceilings);
    writeCeilings();
    state_.log(QStringLiteral("安全上限：") + volts(ceilings.voltageCenti) + QStringLiteral("V / ") +
               volts(ceilings.currentCenti) + QStringLiteral("A。"));
    state_.announce(ModelChange::ceilings);
}

}  // namespace varek
