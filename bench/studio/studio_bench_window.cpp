// A bench of four supplies in one window: three local simulators and a fourth behind a
// spawned varek-server, all at 10 Hz.
//  cpu: the GUI thread's CPU share over --seconds, with the overview shown and with one
//    supply's dashboard shown;
//  steadiness: each local supply's start-to-start polling period (mean, sigma) while
//    the first simulator is silent;
//  remote: the age of each reading when it reaches the window (from the server's sample
//    time), and an output switch from the click to its confirmation, against the same
//    switch asked of the server directly (the device time);
//  memory: the process RSS with an hour of history at 10 Hz in each supply.
// Usage: studio-bench-window [--seconds N] [--switches N]; VAREK_BIN_DIR names build/bin.
#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "app_shell.hpp"
#include "process_figures.hpp"
#include "dashboard.hpp"
#include "loopback_client.hpp"
#include "varek/format.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using varek::bench::rssKiB;
using varek::bench::threadCpuSeconds;
using namespace std::chrono;
using varek::SupplyModel;

struct Stats {
    double mean = 0, sigma = 0, p99 = 0, max = 0;
};

Stats stats(std::vector<double> values) {
    Stats s;
    if (values.empty()) return s;
    s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    double squares = 0;
    for (double v : values) squares += (v - s.mean) * (v - s.mean);
    s.sigma = std::sqrt(squares / static_cast<double>(values.size()));
    std::sort(values.begin(), values.end());
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

/// Start-to-start periods in ms of the samples taken from `from` on.
std::vector<double> periods(const SupplyModel& model, varek::Timestamp from) {
    std::vector<double> out;
    const auto& history = model.samples();
    for (std::size_t i = 1; i < history.size(); ++i) {
        if (history[i - 1].time < from) continue;
        out.push_back(duration<double, std::milli>(history[i].time - history[i - 1].time).count());
    }
    return out;
}

/// Runs the event loop for `seconds` (QTest::qWait sleeps between passes, which would
/// delay every timer of the window).
void runFor(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

void measureCpu(const char* what, double seconds) {
    const double cpu = threadCpuSeconds();
    const auto wall = steady_clock::now();
    runFor(seconds);
    const double share = (threadCpuSeconds() - cpu) / duration<double>(steady_clock::now() - wall).count();
    std::printf("gui-cpu %-10s %.2f %% of a core over %.0f s\n", what, share * 100, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    double seconds = 60;
    int switches = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--seconds") seconds = std::stod(argv[i + 1]);
        if (std::string(argv[i]) == "--switches") switches = std::stoi(argv[i + 1]);
    }
    QTemporaryDir dir;
    qputenv("XDG_DATA_HOME", dir.filePath("data").toUtf8());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    std::vector<std::unique_ptr<varek::sim::SupplySimulator>> sims;
    for (int i = 0; i < 4; ++i) {
        sims.push_back(std::make_unique<varek::sim::SupplySimulator>());
        sims.back()->setSerial(1000 + i);
        sims.back()->setReg(18, 1);
    }
    // The fourth behind its server, at 10 Hz.
    const std::uint16_t serverPort = freePort();
    QProcess server;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath("server"));
    server.setProcessEnvironment(environment);
    server.start(qEnvironmentVariable("VAREK_BIN_DIR", QStringLiteral("build/bin")) + QStringLiteral("/varek-server"),
                 {QString::fromStdString(sims[3]->path()), QStringLiteral("--http-port"), QString::number(serverPort),
                  QStringLiteral("--scpi-port"), QString::number(freePort()), QStringLiteral("--poll"), QStringLiteral("10")});
    if (!QTest::qWaitFor([&] { return server.readAllStandardError().contains("API"); }, 30000)) return 1;
    QFile tokenFile(dir.filePath("server") + QStringLiteral("/VAREK Studio/API/access-token"));
    if (!tokenFile.open(QIODevice::ReadOnly)) return 1;
    const std::string token = tokenFile.readAll().trimmed().toStdString();
    QFile copy(dir.filePath("token"));
    copy.open(QIODevice::WriteOnly);
    copy.write(token.c_str());
    copy.close();

    varek::Bench::Options options;
    options.arguments = {"--connect", sims[0]->path().c_str(), "--connect", sims[1]->path().c_str(),
                         "--connect", sims[2]->path().c_str(), "--remote",
                         QStringLiteral("http://127.0.0.1:%1").arg(serverPort), "--token-file", dir.filePath("token")};
    options.httpPort = 0;
    options.scpiPort = 0;
    options.supportDirectory = dir.filePath("support").toStdString();
    varek::VarekPowerStudioApp studio(std::move(options));
    studio.window().resize(1400, 920);
    studio.show();
    varek::Bench& bench = studio.bench();
    for (int i = 0; i < 3; ++i) bench.at(i).setRefreshRate(10);
    const auto live = [&] {
        for (int i = 0; i < bench.size(); ++i) {
            if (!bench.at(i).connected() || bench.at(i).recovering()) return false;
        }
        return true;
    };
    if (!QTest::qWaitFor(live, 30000)) return 1;

    // Remote readings: their age when the window takes them.
    std::vector<double> ages;
    QObject::connect(&bench.at(3), &SupplyModel::changed, &app, [&](SupplyModel::Changes what) {
        if ((what & SupplyModel::Change::latest) && bench.at(3).latest()) {
            ages.push_back(duration<double, std::milli>(varek::SystemClock::now() - bench.at(3).latest()->time).count());
        }
    });

    studio.window().showOverview();
    measureCpu("overview", seconds);
    studio.window().showSupply(1);
    sims[0]->setSilent(true);
    const auto silentFrom = varek::SystemClock::now();
    measureCpu("dashboard", seconds);
    for (int i = 1; i < 3; ++i) {
        const Stats p = stats(periods(bench.at(i), silentFrom));
        std::printf("poll supply %d (first silent): mean %.3f ms (%.2f %% off 100), sigma %.3f ms, max %.1f ms\n", i + 1,
                    p.mean, std::fabs(p.mean - 100), p.sigma, p.max);
    }
    sims[0]->setSilent(false);
    const Stats age = stats(ages);
    std::printf("remote reading age on arrival: mean %.1f ms, p99 %.1f ms, max %.1f ms (%zu readings, poll 100 ms)\n",
                age.mean, age.p99, age.max, ages.size());

    // Output switches: directly at the server (device time) and through the window.
    std::vector<double> direct, windowed;
    for (int i = 0; i < switches; ++i) {
        const std::string path = i % 2 ? "/v1/output/on" : "/v1/output/off";
        const auto began = steady_clock::now();
        // The server is another process: the plain exchange needs no event loop here.
        varek::test::httpExchange(serverPort, "POST " + path + " HTTP/1.1\r\nAuthorization: Bearer " + token +
                                                  "\r\nContent-Length: 0\r\n\r\n");
        direct.push_back(duration<double, std::milli>(steady_clock::now() - began).count());
        SupplyModel& remote = bench.at(3);
        QEventLoop loop;
        const auto done = QObject::connect(&remote, &SupplyModel::changed, &loop, [&] {
            if (!remote.busy()) loop.quit();
        });
        const auto clicked = steady_clock::now();
        remote.changeOutput(i % 2 == 0);
        if (remote.busy()) loop.exec();
        QObject::disconnect(done);
        windowed.push_back(duration<double, std::milli>(steady_clock::now() - clicked).count());
    }
    const Stats d = stats(direct), w = stats(windowed);
    std::printf("remote switch: direct %.1f ms mean (p99 %.1f), click to confirmed %.1f ms mean (p99 %.1f): +%.1f ms\n",
                d.mean, d.p99, w.mean, w.p99, w.mean - d.mean);

    // An hour at 10 Hz in every supply.
    const auto start = varek::SystemClock::now();
    for (int i = 0; i < bench.size(); ++i) {
        for (int k = 0; k < varek::ModelState::historyLimit; ++k) {
            varek::PowerSample s;
            s.time = start + milliseconds(100) * k;
            s.voltage = 12;
            bench.at(i).state().accept(s);
        }
    }
    runFor(0.5);
    std::printf("rss with four supplies and an hour each: %.1f MB\n", rssKiB() / 1024.0);
    server.terminate();
    server.waitForFinished();
    return 0;
}
