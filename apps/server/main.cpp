// varek-server: opens one supply and serves the HTTP control API and SCPI until
// SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "headless_api.hpp"
#include "varek/control_server.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"

namespace {

using namespace varek;

constexpr int baud = 115200;
constexpr std::uint8_t station = 1;
constexpr std::string_view usageLine =
    "Usage: varek-server <serial-port> (115200, station 1; authenticated output on/off API "
    "and SCPI on 18760)\n";

struct Options {
    std::string path;
    std::uint16_t httpPort = ControlServer::port;
    std::uint16_t scpiPort = SCPIServer::port;
};

/// One whole line per call, so lines from the servers' threads never interleave.
void writeLine(std::FILE* stream, const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

/// 1..65535 in decimal, one optional leading '+'.
std::optional<std::uint16_t> portNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return {};
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) return {};
    return static_cast<std::uint16_t>(value);
}

/// The options, or the exit code 2 (the usage line only for a wrong argument count).
std::optional<Options> parseArguments(int argc, char** argv) {
    if (argc < 2 || argc % 2 != 0) {
        std::fwrite(usageLine.data(), 1, usageLine.size(), stderr);
        return {};
    }
    Options options{argv[1]};
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const auto value = portNumber(argv[i + 1]);
        if (!value) return {};
        if (name == "--http-port") options.httpPort = *value;
        else if (name == "--scpi-port") options.scpiPort = *value;
        else return {};
    }
    return options;
}

/// The exit code requested by a status line or a signal, handed to the main thread,
/// which alone shuts down: the first request decides the code.
class ExitRequest {
public:
    void request(int code) {
        {
            std::lock_guard lock(mutex_);
            if (!code_) code_ = code;
        }
        changed_.notify_all();
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

sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

/// SIGINT and SIGTERM on a thread of their own ("VAREK.Server.Signals"). Every other
/// thread keeps both blocked, so only this thread receives them and neither signal's
/// default action can run, not even after this watcher has gone.
class SignalWatcher {
public:
    explicit SignalWatcher(ExitRequest& exitRequest) : exit_(exitRequest), signals_(io_, SIGINT, SIGTERM) {
        arm();
        thread_ = std::thread([this] {
            platform::nameThisThread("VAREK.Server.Signals");
            const sigset_t set = shutdownSignals();
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            io_.run();
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
        });
    }
    ~SignalWatcher() {
        io_.stop();
        thread_.join();
    }

private:
    // Re-armed after each arrival: a second signal during shutdown is harmless.
    void arm() {
        signals_.async_wait([this](const std::error_code& error, int) {
            if (error) return;
            exit_.request(0);
            arm();
        });
    }

    ExitRequest& exit_;
    asio::io_context io_;
    asio::signal_set signals_;
    std::thread thread_;
};

/// Writes each status line to standard error; a line starting with `failurePrefix`
/// asks the main thread for exit code 1.
std::function<void(const std::string&)> statusHandler(ExitRequest& exitRequest, std::string failurePrefix) {
    return [&exitRequest, failurePrefix](const std::string& line) {
        writeLine(stderr, line);
        if (line.starts_with(failurePrefix)) exitRequest.request(1);
    };
}

void printBanner(const Options& options, const ControlServer& control) {
    const std::string http = std::to_string(options.httpPort);
    std::printf("SCPI VISA resource: TCPIP0::<Mac-IP>::%u::SOCKET\n", unsigned{options.scpiPort});
    std::printf("VAREK server: http://127.0.0.1:%s (LAN: http://<Mac-IP>:%s)\n", http.c_str(), http.c_str());
    std::printf("Token file: %s\n", control.tokenPath().c_str());
    std::fflush(stdout);
}

/// Everything after a successful connect: the servers, the banner, the wait and an
/// orderly shutdown. Returns the exit code; the session is closed on every path.
int serve(const Options& options, SerialSession& session, const DeviceIdentity& identity) {
    ExitRequest exitRequest;
    HeadlessAPI api(session, identity);
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<SCPIServer> scpi;
    int code = 1;
    try {
        control = std::make_unique<ControlServer>(
            options.httpPort, [&api](const ControlHTTPRequest& request) { return api.handle(request); });
        control->start(statusHandler(exitRequest, "API启动失败"));
        scpi = std::make_unique<SCPIServer>(options.scpiPort, [&session, identity] {
            return std::make_unique<SCPIInstrument>(session, identity);
        });
        scpi->start(statusHandler(exitRequest, "SCPI failed"));
        SignalWatcher signals(exitRequest);
        printBanner(options, *control);
        code = exitRequest.wait();
        // Stop taking work first, then close the port: requests still queued on the
        // workers then fail at once instead of reaching the supply during shutdown.
        control->stop();
        scpi->stop();
        session.disconnect();
    } catch (const std::exception& error) {
        if (control) control->stop();
        if (scpi) scpi->stop();
        session.disconnect();
        writeLine(stderr, error.what());
    }
    scpi.reset();
    control.reset();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options = parseArguments(argc, argv);
    if (!options) return 2;

    // Blocked before any thread exists, so every thread inherits the mask and only
    // the signal watcher ever receives SIGINT or SIGTERM.
    const sigset_t signalsToWatch = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &signalsToWatch, nullptr);

    SerialSession session;
    DeviceIdentity identity;
    try {
        identity = session.connect(options->path, baud, station);
        session.sample();  // proves the supply answers before anything listens
    } catch (const std::exception& error) {
        session.disconnect();
        writeLine(stderr, error.what());
        return 1;
    }
    const int code = serve(*options, session, identity);
    session.disconnect();
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}
