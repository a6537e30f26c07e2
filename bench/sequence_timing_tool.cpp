// Step timing of SequenceRunner against an in-process simulator paced at 115200
// baud, through a real SerialSession and DeviceWorker: when each step begins and
// when its first confirmed write completes, against the profile's schedule.
//   sequence_timing_tool [steps=20] [hold_ms=400] [ramp_ms=300]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "varek/device_worker.hpp"
#include "varek/sequence_runner.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using namespace varek;
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

/// Even steps jump to a new voltage, odd steps ramp to it: both kinds of step start.
SequenceProfile profile(int steps, std::chrono::milliseconds hold, std::chrono::milliseconds ramp) {
    SequenceProfile p{"timing", true, {}};
    for (int i = 0; i < steps; ++i) {
        SequenceStep step;
        step.voltage = static_cast<std::uint16_t>(500 + 100 * (i % 7));
        step.ramp = i % 2 ? ramp : std::chrono::milliseconds(0);
        step.hold = hold;
        if (i == 0) step.output = true;
        p.steps.push_back(step);
    }
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    const int steps = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::chrono::milliseconds hold(argc > 2 ? std::atoi(argv[2]) : 400);
    const std::chrono::milliseconds ramp(argc > 3 ? std::atoi(argv[3]) : 300);
    sim::SimulatorOptions options;
    options.wireBaud = 115200;
    sim::SupplySimulator supply(options);
    SerialSession session;
    session.connect(supply.path(), 115200, 1);
    DeviceWorker worker("VAREK.Device");

    std::mutex mutex;
    std::vector<Clock::time_point> begins;
    std::vector<Clock::time_point> firstWrites;  // per step, the first confirmed write's completion
    SequenceDevice device = SequenceDevice::of(session);
    auto plain = device.setpoints;
    device.setpoints = [&](std::optional<std::uint16_t> v, std::optional<std::uint16_t> c) {
        const PowerSample sample = plain(v, c);
        std::lock_guard lock(mutex);
        if (firstWrites.size() < begins.size()) firstWrites.push_back(Clock::now());
        return sample;
    };
    SequenceRunner runner([&worker](SequenceRunner::Job job) { return worker.post(std::move(job)); }, device,
                          SequenceClock::steady(), [&](const SequenceProgress& progress) {
                              std::lock_guard lock(mutex);
                              if (progress.state == SequenceProgress::State::running) begins.push_back(Clock::now());
                          });
    const SequenceProfile p = profile(steps, hold, ramp);
    runner.start(p);
    runner.join();
    worker.stop();
    if (runner.progress()->state != SequenceProgress::State::finished) {
        std::fprintf(stderr, "run ended %s: %s\n", SequenceProgress::stateName(runner.progress()->state).data(),
                     runner.progress()->reason.c_str());
        return 1;
    }
    std::printf("step  scheduled_ms  begin_late_ms  first_write_after_begin_ms\n");
    Clock::duration scheduled{};
    double worstLate = 0, worstWrite = 0;
    for (std::size_t i = 0; i < begins.size(); ++i) {
        const double late = ms(begins[i] - begins[0] - scheduled);
        const double write = ms(firstWrites[i] - begins[i]);
        worstLate = std::max(worstLate, late);
        worstWrite = std::max(worstWrite, write);
        std::printf("%4zu  %12.1f  %13.2f  %26.2f\n", i + 1, ms(scheduled), late, write);
        scheduled += p.steps[i].ramp + p.steps[i].hold;
    }
    // Lateness is taken against the absolute schedule, so drift is its growth over the run.
    const double drift = ms(begins.back() - begins[0] - (scheduled - p.steps.back().ramp - p.steps.back().hold));
    std::printf("worst begin lateness %.2f ms, worst first write %.2f ms after begin, lateness of step %d: %.2f ms (drift)\n",
                worstLate, worstWrite, steps, drift);
    return 0;
}
