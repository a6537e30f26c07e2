// Measures what SerialSession adds on top of the supply: status reads against an
// in-process simulator on a real pseudo-terminal, first with no wire time, then
// paced at 115200 baud against the physical limit of that line.
//   session_throughput_tool [samples=2000] [pacedSamples=300]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double meanMicros = 0;
    double medianMicros = 0;
    double p99Micros = 0;
    double readsPerSecond = 0;
    double turnaroundMicros = 0;
};

Run measure(int wireBaud, int samples) {
    varek::sim::SimulatorOptions options;
    options.wireBaud = wireBaud;
    varek::sim::SupplySimulator supply(options);
    varek::SerialSession session;
    session.connect(supply.path(), 115200, 1);
    for (int i = 0; i < 20; ++i) session.sample();  // warm caches and the terminal

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(samples));
    const auto begin = Clock::now();
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        session.sample();
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    Run run;
    for (double m : micros) run.meanMicros += m;
    run.meanMicros /= static_cast<double>(micros.size());
    std::sort(micros.begin(), micros.end());
    run.medianMicros = micros[micros.size() / 2];
    run.p99Micros = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    run.readsPerSecond = samples / seconds;
    run.turnaroundMicros = supply.meanTurnaroundMicros();
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int paced = argc > 2 ? std::max(1, std::atoi(argv[2])) : 300;

    const Run fast = measure(0, samples);
    std::printf("no wire time, %d status reads\n", samples);
    std::printf("  transaction mean %.1f us, median %.1f us, p99 %.1f us\n", fast.meanMicros,
                fast.medianMicros, fast.p99Micros);
    std::printf("  simulator turnaround mean %.1f us\n", fast.turnaroundMicros);
    std::printf("  session overhead (transaction - turnaround) %.1f us\n", fast.meanMicros - fast.turnaroundMicros);
    std::printf("  %.0f reads/s\n", fast.readsPerSecond);

    // 8 request + 81 reply bytes, 10 bits each, at 115200 bit/s.
    const double limitMicros = 89.0 * 10.0 / 115200.0 * 1e6;
    const Run wire = measure(115200, paced);
    std::printf("paced at 115200 baud, %d status reads\n", paced);
    std::printf("  transaction mean %.1f us, median %.1f us, p99 %.1f us (physical limit %.1f us)\n",
                wire.meanMicros, wire.medianMicros, wire.p99Micros, limitMicros);
    std::printf("  %.1f reads/s = %.1f %% of the physical limit (%.1f reads/s)\n", wire.readsPerSecond,
                100.0 * wire.readsPerSecond * limitMicros / 1e6, 1e6 / limitMicros);
    return 0;
}
