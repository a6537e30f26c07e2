#include "varek/sequence_plan.hpp"

#include <algorithm>
#include <chrono>

namespace varek {
namespace {

double seconds(std::chrono::milliseconds span) { return std::chrono::duration<double>(span).count(); }

}  // namespace

SequencePlan SequencePlan::of(const SequenceProfile& profile, double voltage, double current) {
    SequencePlan plan;
    double now = 0;
    plan.points.push_back({now, voltage, current});
    const auto corner = [&plan](Point point) {
        if (plan.points.back() != point) plan.points.push_back(point);
    };
    for (const SequenceStep& step : profile.steps) {
        Step placed{now, now, now, step.until.has_value()};
        if (step.voltage || step.current) {
            if (step.voltage) voltage = *step.voltage / 100.0;
            if (step.current) current = *step.current / 100.0;
            // A ramp is a slope to the new setpoints; without one they are written at once.
            now += seconds(step.ramp);
            corner({now, voltage, current});
        }
        placed.rampEnd = now;
        now += seconds(step.hold);
        placed.end = now;
        corner({now, voltage, current});
        plan.steps.push_back(placed);
    }
    plan.total = now;
    return plan;
}

double SequencePlan::elapsedAt(std::size_t step, double stepElapsed) const {
    if (step >= steps.size()) return total;
    const Step& at = steps[step];
    return at.start + std::clamp(stepElapsed, 0.0, at.end - at.start);
}

}  // namespace varek
