#pragma once

#include <cstddef>
#include <vector>

#include "varek/sequence_profile.hpp"

namespace varek {

/// What a profile plans over time, for a preview before it runs: when each step runs
/// and the voltage setpoint and current limit it leads to. Times are seconds from the
/// run's start; a step with `until` is planned to its time limit.
struct SequencePlan {
    /// One step's place in time.
    struct Step {
        double start = 0;    ///< the step begins
        double rampEnd = 0;  ///< its setpoints are reached (`start` without a ramp)
        double end = 0;      ///< its hold ends; for an `until` step the time limit
        bool until = false;  ///< may end before `end`, when its condition holds
    };
    /// A corner of the planned lines: both setpoints at one time.
    struct Point {
        double time = 0;
        double voltage = 0;  ///< volts
        double current = 0;  ///< amperes
        friend bool operator==(const Point&, const Point&) = default;
    };

    std::vector<Step> steps;    ///< one per profile step
    std::vector<Point> points;  ///< oldest first; a step without a ramp jumps: two points at one time
    double total = 0;           ///< planned seconds (the longest, when a step has `until`)

    /// The plan of `profile` on a supply whose setpoints are `voltage` and `current` at
    /// the start (a ramp starts from the setpoints in force, as the runner's does).
    static SequencePlan of(const SequenceProfile& profile, double voltage = 0, double current = 0);
    /// Planned seconds done at `stepElapsed` seconds into step `step` (from 0), that
    /// step counted at most to its planned end; `total` past the last step.
    double elapsedAt(std::size_t step, double stepElapsed) const;
};

}  // namespace varek
