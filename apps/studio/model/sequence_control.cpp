#include "sequence_control.hpp"

#include "varek/supply_engine.hpp"

namespace varek {
namespace {

QString quoted(const SequenceProgress& progress) {
    return QStringLiteral("序列「") + QString::fromStdString(progress.name) + QStringLiteral("」");
}

}  // namespace

QString sequenceNewsLine(const SequenceProgress& progress) {
    using State = SequenceProgress::State;
    switch (progress.state) {
    case State::running:
        return quoted(progress) + QStringLiteral("第 %1/%2 步开始。").arg(progress.step).arg(progress.steps);
    case State::finished: return quoted(progress) + QStringLiteral("已完成。");
    case State::stopped: return quoted(progress) + QStringLiteral("已停止。");
    case State::aborted: return quoted(progress) + QStringLiteral("已中止：") + QString::fromStdString(progress.reason);
    }
    return {};
}

SequenceControl::SequenceControl(ModelState& state, SupplyEngine& engine) : state_(state), engine_(engine) {}

std::optional<QString> SequenceControl::start(const std::string& text) {
    SequenceProfile profile;
    try {
        profile = SequenceProfile::parse(text, state_.ceilings);
    } catch (const VarekError& error) {
        return QString::fromStdString(error.text());
    }
    if (engine_.sequences().running()) return QStringLiteral("已有序列在运行。");
    if (!state_.connected || state_.recovering) return QStringLiteral("未连接电源。");
    if (!engine_.startSequence(std::move(profile), {"GUI", ""})) return QStringLiteral("已有序列在运行。");
    return std::nullopt;
}

void SequenceControl::stop() { engine_.sequences().stop(); }

void SequenceControl::abort() { engine_.sequences().abort("电源连接已断开，序列中止。"); }

void SequenceControl::news(const SequenceProgress& progress) {
    state_.sequence = progress;
    state_.log(sequenceNewsLine(progress));
    state_.announce(ModelChange::sequence);
}

std::optional<SequenceProgress> SequenceControl::live() const { return engine_.sequences().progress(); }

}  // namespace varek
