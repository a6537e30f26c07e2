#include "sequence_watch.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "supply_model.hpp"
#include "varek/sequence_plan.hpp"

namespace varek {
namespace {

double secondsBetween(Timestamp from, Timestamp to) { return std::chrono::duration<double>(to - from).count(); }

}  // namespace

SequenceWatch::SequenceWatch(SupplyModel& model, QObject* parent) : QObject(parent), model_(model) {
    // Every step's news announces itself alone, so none is missed by coalesced redraws.
    QObject::connect(&model_, &SupplyModel::changed, this, [this](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::sequence) heard();
    });
}

void SequenceWatch::heard() {
    const auto& news = model_.sequenceProgress();
    if (!news) return;
    const Timestamp now = SystemClock::now();
    if (news->state != SequenceProgress::State::running) {
        ended_ = now;
        return;
    }
    if (news->step == 1) {
        stepStarts_.clear();
        ended_.reset();
    }
    // The news left the runner when the step began; its elapsed time covers the hop here.
    const auto began =
        now - std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(news->stepElapsed));
    stepStarts_.resize(std::max(stepStarts_.size(), news->step), began);
    stepStarts_[news->step - 1] = began;
}

bool SequenceWatch::running() const {
    const auto live = model_.liveSequenceProgress();
    return live && live->state == SequenceProgress::State::running;
}

double SequenceWatch::elapsed() const {
    if (stepStarts_.empty()) return 0;
    return std::max(0.0, secondsBetween(stepStarts_.front(), ended_.value_or(SystemClock::now())));
}

std::optional<double> SequenceWatch::planTime(const SequencePlan& plan, Timestamp time) const {
    if (stepStarts_.empty() || time < stepStarts_.front() || (ended_ && time > *ended_)) return std::nullopt;
    const auto after = std::upper_bound(stepStarts_.begin(), stepStarts_.end(), time);
    const auto step = static_cast<std::size_t>(after - stepStarts_.begin()) - 1;
    if (step >= plan.steps.size()) return std::nullopt;
    return plan.steps[step].start + secondsBetween(stepStarts_[step], time);
}

QString SequenceWatch::clockText(double seconds) {
    const auto whole = static_cast<long long>(std::floor(std::max(seconds, 0.0)));
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    const QChar zero = QLatin1Char('0');
    if (hours > 0) return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, zero).arg(rest, 2, 10, zero);
    return QStringLiteral("%1:%2").arg(minutes).arg(rest, 2, 10, zero);
}

}  // namespace varek
