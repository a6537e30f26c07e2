#pragma once

#include <QString>

#include <optional>
#include <string>

#include "model_state.hpp"

namespace varek {

class SupplyEngine;

/// The activity log's line for a step that began or a run that ended, local or remote.
QString sequenceNewsLine(const SequenceProgress& progress);

/// Timed sequences of one supply: the engine's runner does every device operation on
/// the device thread; its news reach the window here (GUI thread).
class SequenceControl {
public:
    /// `state` and `engine` must outlive this object.
    SequenceControl(ModelState& state, SupplyEngine& engine);

    /// Validates profile `text` against the ceilings and starts it; the reason when it
    /// cannot start (invalid, one already running, no supply).
    std::optional<QString> start(const std::string& text);
    /// Asks the running sequence to stop and apply its "on_end".
    void stop();
    /// The connection ends: a running sequence ends without another write.
    void abort();
    /// A step began or a run ended: shown and logged.
    void news(const SequenceProgress& progress);
    /// The runner's progress now (elapsed time included); none before the first run.
    std::optional<SequenceProgress> live() const;

private:
    ModelState& state_;
    SupplyEngine& engine_;
};

}  // namespace varek
