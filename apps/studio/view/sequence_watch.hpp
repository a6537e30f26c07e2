#pragma once

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

#include "varek/device.hpp"

namespace varek {

class SupplyModel;
struct SequencePlan;

/// Follows the model's sequence news and remembers when the latest run and each of its
/// steps began, so that a view can show the run's elapsed time and lay the samples
/// measured during each step over that step's place in the plan.
class SequenceWatch : public QObject {
public:
    /// Starts listening to `model`'s news; knows of runs that begin from now on.
    explicit SequenceWatch(SupplyModel& model, QObject* parent = nullptr);

    /// True while the model's runner has a run going.
    bool running() const;
    /// Seconds from the latest run's first step to now (or to its end); 0 before any run.
    double elapsed() const;
    /// Where `time` falls on `plan`: the plan's start of the step running then plus the
    /// time since it began; none before the run or after its end.
    std::optional<double> planTime(const SequencePlan& plan, Timestamp time) const;
    /// "m:ss", or "h:mm:ss" from an hour on.
    static QString clockText(double seconds);

private:
    void heard();

    SupplyModel& model_;
    std::vector<Timestamp> stepStarts_;  // index = step - 1, of the latest run
    std::optional<Timestamp> ended_;
};

}  // namespace varek
