// scpi_server_tool: serves SCPI for the supply at PATH until SIGINT or SIGTERM.
// Prints the bound TCP port as its first line (pass port 0 to let the system pick).
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "varek/error.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"

namespace {

bool parsePort(std::string_view text, std::uint16_t& port) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    if (argc < 2 || argc > 3 || (argc == 3 && !parsePort(argv[2], port))) {
        std::cerr << "Usage: scpi_server_tool PATH [PORT]\n";
        return 2;
    }
    // Block the stop signals before any thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    varek::SerialSession session;
    varek::DeviceIdentity identity;
    try {
        identity = session.connect(argv[1], 115200, 1);
    } catch (const varek::VarekError& error) {
        std::cerr << "scpi_server_tool: " << error.description() << '\n';
        return 1;
    }
    int status = 0;
    {
        varek::SCPIServer server(port, [&] {
            return std::make_unique<varek::SCPIInstrument>(session, identity);
        });
        bool failed = false;
        // start() returns after the listener reported, so `failed` is settled here.
        server.start([&](const std::string& text) {
            std::cerr << text << '\n';
            failed = failed || text.rfind("SCPI failed: ", 0) == 0;
        });
        if (failed) {
            status = 1;
        } else {
            std::cout << server.boundPort() << std::endl;
            int signal = 0;
            while (sigwait(&signals, &signal) != 0) {
            }
        }
        server.stop();
    }
    session.disconnect();
    return status;
}
