#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

#include "model_state.hpp"
#include "varek/error.hpp"
#include "varek/protocol.hpp"

namespace varek {

class SupplyEngine;

/// The dashboard's commands for one supply: apply the setpoint drafts, switch the
/// output, named presets and the safety ceilings (both kept in the preferences), and
/// the activity log's line for a write that took effect after it timed out. GUI thread.
class CommandControl : public QObject {
public:
    /// `state` and `engine` must outlive this object; `generation` tells the connection
    /// a command's outcome belongs to (LinkControl::generation).
    CommandControl(ModelState& state, SupplyEngine& engine, std::function<std::int64_t()> generation);

    void applyValues();
    void changeOutput(bool enabled);

    /// Stores the setpoint drafts under `name` (replacing a preset of that name); false,
    /// with the alert, for an empty name or drafts that do not parse or exceed the ceilings.
    bool savePreset(const QString& name);
    /// Gives preset `from` the name `to`; false when `from` is unknown, `to` empty or taken.
    bool renamePreset(const QString& from, const QString& to);
    void deletePreset(const QString& name);
    /// Fills the drafts with preset `name` and applies them like the apply button.
    void recallPreset(const QString& name);
    /// Stores `ceilings`, each clamped to the supply's limits, and hands them to the engine.
    void setCeilings(SafetyCeilings ceilings);
    /// Takes the stored presets and ceilings (the latter to the engine as well).
    void readStored();

    /// Logs, in words, a write reported unconfirmed that took effect after all.
    void lateWrite(const Bytes& request);

private:
    /// Shows and logs a dashboard command's failure and frees the controls.
    void failed(const VarekError& error);
    void writePresets();

    ModelState& state_;
    SupplyEngine& engine_;
    std::function<std::int64_t()> generation_;
};

}  // namespace varek
