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
/// output, and the activity log's line for a write that took effect after it timed
/// out. GUI thread.
class CommandControl : public QObject {
public:
    /// `state` and `engine` must outlive this object; `generation` tells the connection
    /// a command's outcome belongs to (LinkControl::generation).
    CommandControl(ModelState& state, SupplyEngine& engine, std::function<std::int64_t()> generation);

    void applyValues();
    void changeOutput(bool enabled);
    /// Switches the output off whatever the dashboard is doing (the overview's
    /// "全部关闭输出"), confirmed by read-back; `done` hears the outcome in words.
    void switchOff(std::function<void(bool confirmed, const QString& words)> done);

    /// Logs, in words, a write reported unconfirmed that took effect after all.
    void lateWrite(const Bytes& request);

private:
    /// Shows and logs a dashboard command's failure and frees the controls.
    void failed(const VarekError& error);

    ModelState& state_;
    SupplyEngine& engine_;
    std::function<std::int64_t()> generation_;
};

}  // namespace varek
