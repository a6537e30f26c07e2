// http_server_tool: runs the HTTP control server with a trivial handler until
// SIGINT or SIGTERM, for load tests. Prints the bound port as its first line.
// The token file goes to a private temporary support directory unless one is given.
#include <signal.h>
#include <stdlib.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <string_view>

#include "varek/control_server.hpp"
#include "varek/platform.hpp"

namespace {

bool parsePort(std::string_view text, std::uint16_t& port) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    if (argc < 2 || argc > 3 || !parsePort(argv[1], port)) {
        std::cerr << "Usage: http_server_tool PORT [SUPPORT_DIR]\n";
        return 2;
    }
    // Block the stop signals before any thread starts, so only the wait below sees them.
    varek::platform::blockShutdownSignals();

    std::filesystem::path support;
    bool temporary = argc < 3;
    if (temporary) {
        std::string pattern = (std::filesystem::temp_directory_path() / "varek-http-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("http_server_tool: mkdtemp");
            return 1;
        }
        support = pattern;
    } else {
        support = argv[2];
    }

    int status = 0;
    try {
        varek::ControlServer server(
            port,
            [](const varek::ControlHTTPRequest& request, varek::ControlResponder responder) {
                responder.reply(varek::ControlHTTPReply(200, {{"ok", true}, {"path", request.path}}));
            },
            support);
        std::promise<varek::ListenerEvent> first;
        bool reported = false;
        server.start([&](const varek::ListenerEvent& event) {
            if (!reported) first.set_value(event);
            reported = true;
        });
        const varek::ListenerEvent event = first.get_future().get();
        if (event.kind == varek::ListenerEvent::Kind::failed) {
            std::cerr << "http_server_tool: " << event.reason << '\n';
            status = 1;
        } else {
            std::cout << server.boundPort() << std::endl;
            varek::platform::waitForShutdownSignal();
        }
        server.stop();
    } catch (const std::exception& error) {
        std::cerr << "http_server_tool: " << error.what() << '\n';
        status = 1;
    }
    if (temporary) std::filesystem::remove_all(support);
    return status;
}
