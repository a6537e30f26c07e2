// varek-sim: one simulated supply on a pseudo-terminal, steered line by line on stdin.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "sim_commands.hpp"
#include "varek/platform.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using varek::sim::SupplySimulator;

constexpr const char* usageLine =
    "Usage: varek-sim [--link PATH] [--serial N] [--firmware HUNDREDTHS] [--station N] "
    "[--load OHMS] [--latency MS] [--baud N] [--log FILE]\n";

void writeLine(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

/// Answers stdin commands until EOF or until `stopFd` becomes readable.
void serveCommands(SupplySimulator& simulator, int stopFd) {
    std::string pending;
    char buffer[1024];
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!fds[0].revents) continue;
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EOF: keep serving the supply, just stop listening here
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            writeLine(varek::sim::runCommand(simulator, line));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    varek::sim::ProgramOptions options;
    if (!varek::sim::parseOptions(argc, argv, options)) {
        std::cerr << usageLine;
        return 2;
    }
    // Signals are taken on the main thread; every other thread inherits the mask.
    varek::platform::blockShutdownSignals();
    ::signal(SIGPIPE, SIG_IGN);

    std::ofstream log;
    if (!options.logPath.empty()) {
        log.open(options.logPath, std::ios::app);
        if (!log) {
            std::cerr << "varek-sim: cannot open log file " << options.logPath << '\n';
            return 1;
        }
    }
    try {
        SupplySimulator simulator(options.simulator);
        if (log.is_open()) {
            simulator.onRequest([&log](const varek::Bytes& frame) {
                log << varek::sim::hexLine(frame) << '\n' << std::flush;
            });
        }
        std::error_code ec;
        if (!options.linkPath.empty()) {
            std::filesystem::remove(options.linkPath, ec);
            std::filesystem::create_symlink(simulator.path(), options.linkPath, ec);
            if (ec) {
                std::cerr << "varek-sim: cannot create link " << options.linkPath << ": " << ec.message() << '\n';
                return 1;
            }
        }
        writeLine(simulator.path());

        int stopPipe[2];
        if (::pipe(stopPipe) != 0) return 1;
        std::thread commands([&] { serveCommands(simulator, stopPipe[0]); });
        varek::platform::waitForShutdownSignal();
        [[maybe_unused]] auto n = ::write(stopPipe[1], "x", 1);
        commands.join();
        ::close(stopPipe[0]);
        ::close(stopPipe[1]);
        if (!options.linkPath.empty()) std::filesystem::remove(options.linkPath, ec);
        simulator.onRequest(nullptr);
    } catch (const std::exception& error) {
        std::cerr << "varek-sim: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
