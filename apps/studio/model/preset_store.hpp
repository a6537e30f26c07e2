#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

#include "model_state.hpp"

namespace varek {

/// Named setpoint presets and the safety ceilings of one supply, kept in the
/// preferences: under the supply's serial number once it is known (so each supply of
/// a bench keeps its own), and under the application's own keys, which also serve a
/// supply whose serial has nothing stored yet. GUI thread.
class PresetStore {
public:
    /// `ceilingsChanged` hands new ceilings to whoever enforces them; `apply` writes the drafts.
    PresetStore(ModelState& state, std::function<void(const SafetyCeilings&)> ceilingsChanged,
                std::function<void()> apply);

    /// Takes the stored presets and ceilings (the application's keys).
    void readStored();
    /// The supply answered as `serial`: its own presets and ceilings, where stored, replace the shown ones.
    void useSerial(std::uint32_t serial);

    /// Stores the setpoint drafts under `name` (replacing a preset of that name); false,
    /// with the alert, for an empty name or drafts that do not parse or exceed the ceilings.
    bool save(const QString& name);
    /// Gives preset `from` the name `to`; false when `from` is unknown, `to` empty or taken.
    bool rename(const QString& from, const QString& to);
    void remove(const QString& name);
    /// Fills the drafts with preset `name` and applies them like the apply button.
    void recall(const QString& name);
    /// Stores `ceilings`, each clamped to the supply's limits.
    void setCeilings(SafetyCeilings ceilings);

private:
    /// Reads presets and ceilings under `group` ("" for the application's keys); false when none are stored there.
    bool read(const QString& group);
    void writePresets();
    void writeCeilings();

    ModelState& state_;
    std::function<void(const SafetyCeilings&)> ceilingsChanged_;
    std::function<void()> apply_;
    std::optional<std::uint32_t> serial_;
};

}  // namespace varek
