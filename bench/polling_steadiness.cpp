// Measures the desktop model against the in-process simulator:
//   1. polling steadiness at 10 Hz: start-to-start interval of the status reads as the
//      supply sees them (no latency, then with 115200-baud wire-time emulation);
//   2. CSV export of a full 36000-sample history (text built, then written atomically);
//   3. memory of a full history, and the cost of one more sample once it is full.
// Usage: polling_steadiness_tool [seconds per polling run, default 60]
#include <QCoreApplication>
#include <QEventLoop>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "model_files.hpp"
#include "power_model.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void runEvents(std::chrono::milliseconds duration) {
    QEventLoop loop;
    // Coarse timers (Qt's default above 2 s) may end up to 5 % early.
    QTimer::singleShot(duration, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        runEvents(5ms);
    }
    return true;
}

varek::PowerModel::Options optionsFor(const QTemporaryDir& home, const std::string& port,
                                      std::function<QString(const QString&)> save = {}) {
    varek::PowerModel::Options options;
    options.httpPort = 0;
    options.scpiPort = 0;
    options.supportDirectory = home.filePath("support").toStdString();
    options.listPorts = [port] { return std::vector<std::string>{port}; };
    options.chooseSaveLocation = std::move(save);
    return options;
}

void pollingRun(const QTemporaryDir& home, const char* label, int wireBaud, double seconds) {
    varek::sim::SupplySimulator sim;
    sim.setWireBaud(wireBaud);
    std::mutex mutex;
    std::vector<Clock::time_point> starts;
    sim.onRequest([&](const varek::Bytes& frame) {
        // Status reads only: function 3, 38 registers.
        if (frame.size() == 8 && frame[1] == 0x03 && frame[5] == varek::PowerSample::count) {
            std::lock_guard lock(mutex);
            starts.push_back(Clock::now());
        }
    });
    varek::PowerModel model(optionsFor(home, sim.path()));
    model.setRefreshRate(10);
    model.connect();
    if (!runEventsUntil([&] { return model.connected(); }, 10s)) {
        std::printf("%s: connect failed: %s\n", label, model.notice().toStdString().c_str());
        return;
    }
    {
        std::lock_guard lock(mutex);
        starts.clear();  // from the first polled read on
    }
    runEvents(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    model.disconnect();
    runEventsUntil([&] { return !model.busy(); }, 10s);

    std::lock_guard lock(mutex);
    std::vector<double> intervals;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        intervals.push_back(std::chrono::duration<double, std::milli>(starts[i] - starts[i - 1]).count());
    }
    if (intervals.empty()) return;
    double sum = 0;
    for (double v : intervals) sum += v;
    const double mean = sum / static_cast<double>(intervals.size());
    double squares = 0;
    for (double v : intervals) squares += (v - mean) * (v - mean);
    const double sd = std::sqrt(squares / static_cast<double>(intervals.size()));
    const auto [lo, hi] = std::minmax_element(intervals.begin(), intervals.end());
    std::printf("%-28s intervals %5zu  mean %8.3f ms (%+.3f %%)  sd %6.3f ms  min %8.3f  max %8.3f ms\n", label,
                intervals.size(), mean, (mean - 100.0), sd, *lo, *hi);
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;  // 4 KiB pages
}

varek::PowerSample sampleAt(varek::Timestamp time, int i) {
    varek::PowerSample s;
    s.id = varek::Uuid::random();
    s.time = time;
    s.voltage = 12.0 + 0.01 * (i % 100);
    s.current = 1.234 + 0.001 * (i % 7);
    s.power = s.voltage * s.current;
    s.voltageSet = 12.4;
    s.currentSet = 1.5;
    s.outputEnabled = true;
    return s;
}

void historyRuns(const QTemporaryDir& home) {
    const QString target = home.filePath("export.csv");
    varek::PowerModel model(optionsFor(home, "/dev/null", [&](const QString&) { return target; }));
    const long before = residentKiB();
    const auto base = varek::SystemClock::now() - 1h;
    for (int i = 0; i < varek::PowerModel::historyLimit; ++i) {
        model.state().accept(sampleAt(base + 100ms * i, i));
    }
    const long after = residentKiB();
    std::printf("history: %d samples, sizeof(PowerSample) %zu B, vector capacity %zu -> %.2f MiB; RSS +%.2f MiB\n",
                varek::PowerModel::historyLimit, sizeof(varek::PowerSample), model.samples().capacity(),
                static_cast<double>(model.samples().capacity() * sizeof(varek::PowerSample)) / (1 << 20),
                static_cast<double>(after - before) / 1024);

    constexpr int rounds = 20;
    double buildMs = 0, exportMs = 0;
    std::size_t bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        bytes = varek::samplesCsv(model.samples()).size();
        auto t1 = Clock::now();
        model.exportCSV();
        auto t2 = Clock::now();
        buildMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
        exportMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    std::printf("csv: 36000 samples, %zu bytes; text built in %.2f ms; exportCSV (build + atomic write) %.2f ms"
                " (mean of %d)\n",
                bytes, buildMs / rounds, exportMs / rounds, rounds);

    constexpr int more = 2000;
    const auto t0 = Clock::now();
    for (int i = 0; i < more; ++i) {
        model.state().accept(sampleAt(base + 1h + 100ms * i, i));
    }
    const double perSample = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / more;
    std::printf("accept at the bound (drop oldest + append): %.1f us per sample\n", perSample);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("config"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.filePath("config"));
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;

    pollingRun(home, "10 Hz, no latency", 0, seconds);
    pollingRun(home, "10 Hz, 115200 wire time", 115200, seconds);
    historyRuns(home);
    return 0;
}
