// Measures the dashboard's cost on the GUI thread.
//  synthetic phase: a made-up full history, one new sample per step, the 5-minute trend
//    rebuilt and its panel repainted, as at 10 Hz; first with 3000 samples (just
//    the window, the reference), then with 36000 (one hour at 10 Hz);
//  interaction phase: a full hour at 10 Hz, then --frames wheel notches and drags as
//    a user would send them (zoom into the hour, pan across it, zoom out again), each
//    answered and painted before the next: the time per frame;
//  live phase: the whole application against a simulated supply at 10 Hz for
//    --seconds, reporting every --report seconds: redraws, their mean and max,
//    the GUI thread's CPU share, stored samples and the process RSS; with --hover
//    the pointer rests on the chart, so every redraw also moves the hover readout.
// Usage: studio-view-bench [--seconds N] [--report N] [--steps N] [--frames N]
//                          [--skip-synthetic] [--skip-interaction] [--hover]
#include <QApplication>
#include <QChart>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app_shell.hpp"
#include "process_figures.hpp"
#include "dashboard.hpp"
#include "sample_history.hpp"
#include "trend_chart_view.hpp"
#include "trend_panel.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "widgets.hpp"

namespace {

using varek::bench::rssKiB;
using varek::bench::threadCpuSeconds;
using namespace std::chrono;

varek::PowerSample syntheticSample(varek::Timestamp time, int i) {
    varek::PowerSample s;
    s.id = varek::Uuid::random();
    s.time = time;
    s.voltageSet = 12.0;
    s.currentSet = 2.0;
    s.voltage = 12.0 + 0.02 * std::sin(i * 0.05);
    s.current = 1.2 + 0.3 * std::sin(i * 0.01) + (i % 997 == 0 ? 0.6 : 0.0);
    s.power = s.voltage * s.current;
    s.outputEnabled = true;
    return s;
}

varek::PowerModel::Options quietOptions(const std::string& support) {
    varek::PowerModel::Options options;
    options.httpPort = 0;
    options.scpiPort = 0;
    options.supportDirectory = support;
    options.listPorts = [] { return std::vector<std::string>{}; };
    return options;
}

/// CPU ms per step of the trend rebuild and repaint with a history of `size` samples.
double syntheticPhase(int steps, std::size_t size, const std::string& support) {
    varek::VarekPowerStudioApp app(quietOptions(support));
    app.show();
    (void)QTest::qWaitForWindowExposed(&app.window());
    varek::TrendPanel* trend = app.window().dashboard()->trendPanel();
    QTest::mouseClick(app.window().findChild<varek::ui::SegmentedControl*>("trendWindowPicker")->button(2),
                      Qt::LeftButton);  // "5 分钟"

    varek::SampleHistory history(size);
    const int size0 = static_cast<int>(size);
    const auto start = system_clock::now() - milliseconds(100) * size0;
    for (int i = 0; i < size0; ++i) history.push(syntheticSample(start + milliseconds(100) * i, i));
    double wallTotal = 0;
    double wallLongest = 0;
    double cpuTotal = 0;
    double cpuLongest = 0;
    double pushTotal = 0;
    for (int step = 0; step < steps; ++step) {
        const int i = size0 + step;
        // The model's full history takes every sample in place of its oldest; time that too.
        const varek::PowerSample sample = syntheticSample(start + milliseconds(100) * i, i);
        const double pushBefore = threadCpuSeconds();
        history.push(sample);
        pushTotal += (threadCpuSeconds() - pushBefore) * 1000;
        QElapsedTimer t;
        t.start();
        const double cpuBefore = threadCpuSeconds();
        trend->drawHistory(history);
        QCoreApplication::processEvents();
        trend->repaint();  // the whole panel, chart included, as an upper bound for the repaint
        const double cpu = (threadCpuSeconds() - cpuBefore) * 1000;
        const double wall = static_cast<double>(t.nsecsElapsed()) / 1e6;
        wallTotal += wall;
        wallLongest = std::max(wallLongest, wall);
        cpuTotal += cpu;
        cpuLongest = std::max(cpuLongest, cpu);
    }
    std::printf("synthetic: history %zu samples, window 300 s, %d points drawn, %d steps\n", history.size(),
                trend->pointCount(), steps);
    std::printf("synthetic: trend rebuild + full panel repaint per sample: GUI CPU mean %.3f ms, max %.3f ms;"
                " wall mean %.3f ms, max %.3f ms\n",
                cpuTotal / steps, cpuLongest, wallTotal / steps, wallLongest);
    std::printf("synthetic: share of one core at 10 Hz: %.2f %%\n", cpuTotal / steps * 10 / 1000 * 100);
    std::printf("synthetic: adding a sample to the full history (the oldest goes): GUI CPU mean %.3f ms\n",
                pushTotal / steps);
    std::printf("synthetic: RSS %ld KiB\n", rssKiB());
    return cpuTotal / steps;
}

// One user input per frame: wheel notches in, drags across, notches out, in a cycle.
void sendFrame(varek::TrendChartView* view, int frame) {
    QWidget* port = view->viewport();
    const QRectF plot = view->chart()->plotArea();
    const QPoint middle = view->mapFromScene(plot.center());
    const int phase = frame % 60;
    if (phase < 20 || phase >= 40) {
        const int angle = phase < 20 ? 120 : -120;
        QWheelEvent wheel(middle, port->mapToGlobal(middle), QPoint(), QPoint(0, angle), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(port, &wheel);
        return;
    }
    // Drag 15 pixels per frame, always towards earlier times while the button stays down.
    const QPoint from = middle + QPoint((phase - 20) * 15 - 150, 0);
    if (phase == 20) QTest::mousePress(port, Qt::LeftButton, Qt::NoModifier, from);
    const QPoint to = from + QPoint(15, 0);
    QMouseEvent move(QEvent::MouseMove, to, port->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(port, &move);
    if (phase == 39) QTest::mouseRelease(port, Qt::LeftButton, Qt::NoModifier, to);
}

/// Zooming and panning over a full hour: CPU and wall time per answered, painted frame.
void interactionPhase(int frames, const std::string& support) {
    varek::VarekPowerStudioApp app(quietOptions(support));
    app.show();
    (void)QTest::qWaitForWindowExposed(&app.window());
    varek::TrendPanel* trend = app.window().dashboard()->trendPanel();
    const int size = varek::PowerModel::historyLimit;
    const auto start = system_clock::now() - milliseconds(100) * size;
    for (int i = 0; i < size; ++i) app.model().state().accept(syntheticSample(start + milliseconds(100) * i, i));
    app.window().dashboard()->redraw();
    QCoreApplication::processEvents();
    // Start from the whole hour, as a user who zoomed out first.
    trend->zoomTo({varek::epochMillis(start), varek::epochMillis(start + milliseconds(100) * size)});

    std::vector<double> wall;
    double cpuTotal = 0;
    double cpuLongest = 0;
    int mostPoints = 0;
    for (int frame = 0; frame < frames; ++frame) {
        QElapsedTimer t;
        t.start();
        const double cpuBefore = threadCpuSeconds();
        sendFrame(trend->chartView(), frame);
        QCoreApplication::processEvents();
        trend->chartView()->viewport()->repaint();
        const double cpu = (threadCpuSeconds() - cpuBefore) * 1000;
        wall.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        cpuTotal += cpu;
        cpuLongest = std::max(cpuLongest, cpu);
        mostPoints = std::max(mostPoints, trend->pointCount());
    }
    std::sort(wall.begin(), wall.end());
    double wallTotal = 0;
    for (double w : wall) wallTotal += w;
    std::printf("interaction: history %zu samples, %d frames (wheel in, drag, wheel out), at most %d points drawn\n",
                app.model().samples().size(), frames, mostPoints);
    std::printf("interaction: per frame GUI CPU mean %.3f ms, max %.3f ms; wall mean %.3f ms, p95 %.3f ms, max %.3f ms\n",
                cpuTotal / frames, cpuLongest, wallTotal / frames, wall[wall.size() * 95 / 100], wall.back());
}

void livePhase(int seconds, int report, bool hover, const std::string& support) {
    varek::sim::SupplySimulator sim;
    sim.setReg(18, 1);
    auto options = quietOptions(support);
    options.arguments = {"--refresh", "10", "--connect", QString::fromStdString(sim.path())};
    varek::VarekPowerStudioApp app(std::move(options));
    app.show();
    (void)QTest::qWaitForWindowExposed(&app.window());
    varek::Dashboard* dashboard = app.window().dashboard();
    QTest::mouseClick(app.window().findChild<varek::ui::SegmentedControl*>("trendWindowPicker")->button(2),
                      Qt::LeftButton);
    (void)QTest::qWaitFor([&] { return app.model().connected(); }, 10000);
    if (hover) {
        varek::TrendChartView* view = dashboard->trendPanel()->chartView();
        QTest::mouseMove(view->viewport(), view->mapFromScene(view->chart()->plotArea().center()));
    }

    std::printf("live: %d s at 10 Hz, report every %d s%s\n", seconds, report, hover ? ", pointer on the chart" : "");
    std::printf("%8s %9s %9s %10s %10s %9s %9s %9s\n", "t[s]", "samples", "redraws", "mean[ms]", "max[ms]",
                "gui[%]", "rate[Hz]", "rss[KiB]");
    QElapsedTimer wall;
    wall.start();
    for (int elapsed = 0; elapsed < seconds;) {
        elapsed = std::min(elapsed + report, seconds);
        dashboard->resetRedrawStats();
        const double cpuBefore = threadCpuSeconds();
        const qint64 wallBefore = wall.elapsed();
        const auto samplesBefore = app.model().samples().size();
        while (wall.elapsed() < elapsed * 1000LL) QTest::qWait(50);
        const double spentWall = static_cast<double>(wall.elapsed() - wallBefore) / 1000;
        const auto& stats = dashboard->redrawStats();
        const double mean = stats.count ? duration<double, std::milli>(stats.total).count() / stats.count : 0;
        std::printf("%8d %9zu %9llu %10.3f %10.3f %9.2f %9.2f %9ld\n", elapsed, app.model().samples().size(),
                    static_cast<unsigned long long>(stats.count), mean,
                    duration<double, std::milli>(stats.longest).count(),
                    (threadCpuSeconds() - cpuBefore) / spentWall * 100,
                    static_cast<double>(app.model().samples().size() - samplesBefore) / spentWall, rssKiB());
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The token file and preferences of a run stay out of the user's own folders.
    const std::string scratch = "/tmp/studio-view-bench-" + std::to_string(getpid());
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("XDG_CONFIG_HOME", (scratch + "/config").c_str(), 1);
    QApplication qapp(argc, argv);
    varek::applyStudioTheme(qapp);
    int seconds = 60;
    int report = 10;
    int steps = 600;
    int frames = 600;
    bool synthetic = true;
    bool interaction = true;
    bool hover = false;
    for (int i = 1; i < argc; ++i) {
        auto value = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (!std::strcmp(argv[i], "--seconds")) seconds = value();
        else if (!std::strcmp(argv[i], "--report")) report = std::max(1, value());
        else if (!std::strcmp(argv[i], "--steps")) steps = std::max(1, value());
        else if (!std::strcmp(argv[i], "--frames")) frames = std::max(1, value());
        else if (!std::strcmp(argv[i], "--skip-synthetic")) synthetic = false;
        else if (!std::strcmp(argv[i], "--skip-interaction")) interaction = false;
        else if (!std::strcmp(argv[i], "--hover")) hover = true;
    }
    const std::string support = scratch + "/support";
    if (synthetic) {
        // Reference: a history no longer than the 5-minute window, in the same run.
        const double window = syntheticPhase(steps, 3000, support);
        const double full = syntheticPhase(steps, 36000, support);
        std::printf("synthetic: full history / window-only history CPU ratio: %.2f\n", full / window);
    }
    if (interaction) interactionPhase(frames, support);
    if (seconds > 0) livePhase(seconds, report, hover, support);
    std::filesystem::remove_all(scratch);
    return 0;
}
