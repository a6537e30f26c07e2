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
    // Block the stop signals before any thread starts, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

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
        varek::ControlServer server(port, [](const varek::ControlHTTPRequest& request) {
            return varek::ControlHTTPReply(200, {{"ok", true}, {"path", request.path}});
        }, support);
        std::promise<std::string> first;
        bool reported = false;
        server.start([&](const std::string& line) {
            std::cerr << line << '\n';
            if (!reported) first.set_value(line);
            reported = true;
        });
        if (first.get_future().get().rfind("API启动失败", 0) == 0) {
            status = 1;
        } else {
            std::cout << server.boundPort() << std::endl;
            int signal = 0;
            while (sigwait(&signals, &signal) != 0) {
            }
        }
        server.stop();
    } catch (const std::exception& error) {
        std::cerr << "http_server_tool: " << error.what() << '\n';
        status = 1;
    }
    if (temporary) std::filesystem::remove_all(support);
    return status;
}
