// varek-server: opens one supply and serves the HTTP control API and SCPI until
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "dashboard_page.hpp"
#include "server_policy.hpp"
#include "service_options.hpp"
#include "varek/control_server.hpp"
#include "varek/metrics_server.hpp"
#include "varek/option_number.hpp"
#include "varek/platform.hpp"
#include "varek/protocol.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek/supply_api.hpp"
#include "varek/supply_engine.hpp"

namespace {

using namespace varek;

constexpr int baud = 115200;
constexpr std::uint8_t station = 1;
/// How long start-up may take to notice a shutdown signal before the process ends anyway.
constexpr auto startupGrace = std::chrono::milliseconds(1500);
constexpr std::string_view usageLine =
    "Usage: varek-server <serial-port> (115200, station 1; authenticated output on/off API "
    "and SCPI on 18760)\n";

struct Options {
    std::string path;
    std::uint16_t httpPort = ControlServer::port;
    std::uint16_t scpiPort = SCPIServer::port;
    ServiceOptions service = ServiceOptions();
    SafetyCeilings ceilings;
};

/// One whole line per call, so lines from the servers' threads never interleave.
void writeLine(std::FILE* stream, const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

/// Hundredths of a ceiling option's value: 0..`maximum`, at most two decimals.
std::optional<std::uint16_t> ceilingValue(std::string_view text, double maximum) {
    try {
        return Modbus::centiUnits(text, maximum);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

/// Applies `--max-voltage` / `--max-current`; false for another name or a bad value.
bool ceilingOption(std::string_view name, std::string_view text, SafetyCeilings& ceilings) {
    const bool voltage = name == "--max-voltage";
    if (!voltage && name != "--max-current") return false;
    const auto value = ceilingValue(text, voltage ? Supply::voltageMax : Supply::currentMax);
    if (!value) return false;
    (voltage ? ceilings.voltageCenti : ceilings.currentCenti) = *value;
    return true;
}

/// The options, or the exit code 2 (the usage line only for a wrong argument count).
std::optional<Options> parseArguments(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fwrite(usageLine.data(), 1, usageLine.size(), stderr);
        return {};
    }
    Options options;
    options.path = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        if (const auto applied = applyServiceOption(options.service, name, argv[i + 1])) {
            if (!*applied) return {};
            continue;
        }
        if (ceilingOption(name, argv[i + 1], options.ceilings)) continue;
        const auto value = optionNumber(argv[i + 1], 1, 65535);
        if (!value) return {};
        if (name == "--http-port") options.httpPort = static_cast<std::uint16_t>(*value);
        else if (name == "--scpi-port") options.scpiPort = static_cast<std::uint16_t>(*value);
        else return {};
    }
    return options;
}

/// The exit code asked for by a listener failure or a signal, handed to the main
/// thread, which alone shuts down: the first request decides the code.
class ExitRequest {
public:
    void request(int code) {
        {
            std::lock_guard lock(mutex_);
            if (!code_) code_ = code;
        }
        changed_.notify_all();
    }
    bool requested() {
        std::lock_guard lock(mutex_);
        return code_.has_value();
    }
    int wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return code_.has_value(); });
        return *code_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<int> code_;
};

/// Takes SIGINT and SIGTERM on a thread of its own ("VAREK.Server.Signals") from
/// the first moment of start-up. A signal asks for exit 0 and makes the session
/// refuse every further transaction at once, so nothing reaches the supply after
/// it; should start-up still not have ended after a grace period (a hang in some
/// system call), the process ends there, without having written anything.
class SignalWatcher {
public:
    SignalWatcher(ExitRequest& exitRequest, SerialSession& session) : exit_(exitRequest), session_(session) {
        thread_ = std::thread([this] { watch(); });
    }
    ~SignalWatcher() {
        done_ = true;
        // Wakes the sigwait below; the signal is blocked everywhere, so nothing else sees it.
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }
    /// Start-up is over: from now on the main thread is waiting and answers at once.
    void started() { starting_ = false; }

private:
    void watch() {
        platform::nameThisThread("VAREK.Server.Signals");
        for (;;) {
            platform::waitForShutdownSignal();
            if (done_) return;
            session_.refuseTransactions();
            exit_.request(0);
            if (starting_ && !graceArmed_.exchange(true)) {
                std::thread([this] {
                    std::this_thread::sleep_for(startupGrace);
                    if (starting_ && !done_) ::_exit(0);
                }).detach();
            }
        }
    }

    ExitRequest& exit_;
    SerialSession& session_;
    std::atomic<bool> done_{false};
    std::atomic<bool> starting_{true};
    std::atomic<bool> graceArmed_{false};
    std::thread thread_;
};

/// The one address every listener is bound to, or empty when they listen on all
/// interfaces: start-up lines then name that address instead of the LAN.
std::string boundOnly(const Options& options) {
    const std::string& address = options.service.bindAddress;
    return address == ServiceOptions::anyAddress ? std::string() : address;
}

void printBanner(const Options& options, const ControlServer& control) {
    const std::string http = std::to_string(options.httpPort);
    const std::string bound = boundOnly(options);
    if (bound.empty()) {
        std::printf("SCPI VISA resource: TCPIP0::<Mac-IP>::%u::SOCKET\n", unsigned{options.scpiPort});
        std::printf("VAREK server: http://127.0.0.1:%s (LAN: http://<Mac-IP>:%s)\n", http.c_str(), http.c_str());
    } else {
        std::printf("SCPI VISA resource: TCPIP0::%s::%u::SOCKET\n", bound.c_str(), unsigned{options.scpiPort});
        std::printf("VAREK server: http://%s:%s\n", bound.c_str(), http.c_str());
    }
    std::printf("Token file: %s\n", control.tokenPath().c_str());
    std::fflush(stdout);
}

/// Writes a listener's event as the program's status line; a failure asks for exit 1.
ListenerCallback apiEvents(ExitRequest& exitRequest, const std::string& bound) {
    const std::string where = bound.empty() ? "本机 / 局域网" : bound;
    return [&exitRequest, where](const ListenerEvent& event) {
        if (event.kind == ListenerEvent::Kind::listening) {
            return writeLine(stderr, "API已监听 · " + where + " · " + std::to_string(event.port));
        }
        writeLine(stderr, "API启动失败：" + event.reason);
        exitRequest.request(1);
    };
}

ListenerCallback scpiEvents(ExitRequest& exitRequest, const std::string& bound) {
    const std::string where = bound.empty() ? "local and LAN" : bound + " only";
    return [&exitRequest, where](const ListenerEvent& event) {
        if (event.kind == ListenerEvent::Kind::listening) {
            return writeLine(stderr, "SCPI ready on TCP " + std::to_string(event.port) + ", " + where +
                                         ", no authentication");
        }
        writeLine(stderr, "SCPI failed: " + event.reason);
        exitRequest.request(1);
    };
}

ListenerCallback metricsEvents(ExitRequest& exitRequest) {
    return [&exitRequest](const ListenerEvent& event) {
        if (event.kind == ListenerEvent::Kind::listening) {
            return writeLine(stderr, "Metrics ready on TCP " + std::to_string(event.port) + ", GET /metrics");
        }
        writeLine(stderr, "Metrics failed: " + event.reason);
        exitRequest.request(1);
    };
}

std::string recorderLine(const RecorderEvent& event) {
    if (event.kind == RecorderEvent::Kind::resumed) return "Recording resumed: " + event.file.string();
    return "Recording paused: " + event.file.string() + ": " + event.reason + " (retrying every few seconds)";
}

/// What varek-server's engine reports goes to standard error, one whole line each.
SupplyEngine::Events engineEvents() {
    const auto line = [](const std::string& text) { writeLine(stderr, text); };
    return {line, line, [](const RecorderEvent& event) { writeLine(stderr, recorderLine(event)); }, {}, {}};
}

/// What a scrape reports: the engine's values and the listeners' counters.
std::string exposition(const SupplyEngine& engine, const ControlServer* control, const SCPIServer* scpi) {
    MetricsSnapshot snapshot = engine.metrics();
    if (control) snapshot.httpRequests = control->replyCounts();
    if (scpi) snapshot.scpiConnections = scpi->connections();
    return metricsExposition(snapshot);
}

/// Polling, recording and supervision as the options ask.
void leaveRunning(const Options& options, SupplyEngine& engine, const DeviceIdentity& identity) {
    engine.supervise({options.path, baud, station, identity});
    if (const auto rate = options.service.pollRate()) engine.feed().poll(*rate);
    if (options.service.recordDirectory) {
        // A file size limit must fail the write (EFBIG) rather than end the process.
        std::signal(SIGXFSZ, SIG_IGN);
        SampleRecorder::Options recording;
        recording.directory = *options.service.recordDirectory;
        recording.serial = identity.serial;
        recording.keepDays = options.service.recordDays;
        engine.feed().startRecording(std::move(recording), [](const RecorderEvent& event) {
            writeLine(stderr, recorderLine(event));
        });
    }
}

/// Everything after a successful connect: the servers, the banner, the wait and an
/// orderly shutdown. Returns the exit code; the session is closed on every path.
int serve(const Options& options, SupplyEngine& engine, const DeviceIdentity& identity, ExitRequest& exitRequest,
          SignalWatcher& signals) {
    engine.serve(identity);
    engine.setCeilings(options.ceilings);
    SupplyApi api(engine, serverPolicy(engine, identity));
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<SCPIServer> scpi;
    std::unique_ptr<MetricsServer> metrics;
    int code = 1;
    try {
        leaveRunning(options, engine, identity);
        control = std::make_unique<ControlServer>(
            options.httpPort,
            [&api](const ControlHTTPRequest& request, ControlResponder responder) {
                api.handle(request, std::move(responder));
            });
        control->serveStatic(std::string(dashboardPrefix), dashboardFiles());
        control->setBindAddress(options.service.bindAddress);
        if (!exitRequest.requested()) control->start(apiEvents(exitRequest, boundOnly(options)));
        scpi = std::make_unique<SCPIServer>(options.scpiPort, engine.instruments(), engine.dispatch());
        scpi->setBindAddress(options.service.bindAddress);
        if (!exitRequest.requested()) {
            scpi->start(scpiEvents(exitRequest, boundOnly(options)));
            printBanner(options, *control);
            if (options.service.bindAddress != ServiceOptions::anyAddress) {
                writeLine(stderr, "Listening on " + options.service.bindAddress + " only");
            }
            if (options.service.metricsPort) {
                metrics = std::make_unique<MetricsServer>(
                    *options.service.metricsPort,
                    [&engine, &control, &scpi] { return exposition(engine, control.get(), scpi.get()); },
                    options.service.bindAddress);
                metrics->start(metricsEvents(exitRequest));
            }
        }
        signals.started();
        code = exitRequest.wait();
    } catch (const std::exception& error) {
        signals.started();
        if (!exitRequest.requested()) writeLine(stderr, error.what());
        exitRequest.request(1);
        code = exitRequest.wait();
    }
    // A running sequence ends here without a write, and none starts again.
    engine.closeSequences();
    // Stop taking work; then the engine refuses every further transaction, so queued
    // requests fail at once instead of reaching the supply during shutdown.
    if (control) control->stop();
    if (scpi) scpi->stop();
    if (metrics) metrics->stop();
    engine.close();
    scpi.reset();
    control.reset();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parseArguments(argc, argv);
    if (!options) return 2;

    // Before any thread exists, so that every thread inherits the mask.
    platform::blockShutdownSignals();

    SupplyEngine engine(engineEvents());
    SerialSession& session = engine.session();
    ExitRequest exitRequest;
    SignalWatcher signals(exitRequest, session);
    DeviceIdentity identity;
    try {
        identity = session.connect(options->path, baud, station);
        session.sample();  // proves the supply answers before anything listens
    } catch (const std::exception& error) {
        session.disconnect();
        signals.started();
        // A signal during the connect is a requested stop, not a failure.
        if (exitRequest.requested()) return 0;
        writeLine(stderr, error.what());
        return 1;
    }
    const int code = serve(*options, engine, identity, exitRequest, signals);
    session.disconnect();
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}
