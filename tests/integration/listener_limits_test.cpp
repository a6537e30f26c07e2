// The shared accept loop under resource pressure: it must outlive running out of
// descriptors (in this process, and both servers in a child left with four free),
// and only a broken listening socket may stop it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_client.hpp"
#include "temp_dir.hpp"
#include "varek/control_server.hpp"
#include "varek/net/tcp_listener.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;

/// Every free descriptor taken under a lowered limit, until destroyed.
class AllDescriptorsTaken {
public:
    AllDescriptorsTaken() {
        ::getrlimit(RLIMIT_NOFILE, &old_);
        const auto open = static_cast<rlim_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
        rlimit low{std::min(old_.rlim_cur, open + 64), old_.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken_.push_back(fd);
    }
    ~AllDescriptorsTaken() {
        for (const int fd : taken_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &old_);
    }

private:
    rlimit old_{};
    std::vector<int> taken_;
};

// The accept loop run on this thread, one completion at a time: out of descriptors it
// keeps the connection queued and tries again; a listening socket that breaks ends it
// with a failure event.
TEST(TcpListener, RetriesWhileOutOfDescriptorsAndReportsABrokenSocket) {
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> accepted;
    std::vector<ListenerEvent> events;
    const auto listener = std::make_shared<net::TcpListener>(
        io, 4, 4, [&](asio::ip::tcp::socket socket, net::ConnectionSlot) { accepted.push_back(std::move(socket)); });
    listener->open("127.0.0.1", 0, [&](const ListenerEvent& event) { events.push_back(event); });
    io.poll();
    const std::uint16_t port = listener->boundPort();
    ASSERT_EQ(events, std::vector<ListenerEvent>{ListenerEvent::listeningOn(port)});
    {
        std::optional<test::LoopbackClient> client;
        client.emplace(port);  // queued by the kernel until the listener accepts it
        {
            const AllDescriptorsTaken full;
            io.run_one();  // the accept fails for want of a descriptor
        }
        EXPECT_TRUE(accepted.empty());
        EXPECT_EQ(events.size(), 1u) << "a transient error is no failure";
        while (accepted.empty() && io.run_one()) {
        }
        EXPECT_EQ(accepted.size(), 1u) << "the retry took the waiting connection";
    }
    ASSERT_EQ(::shutdown(test::listeningSocket(port), SHUT_RDWR), 0);
    while (events.size() < 2 && io.run_one()) {
    }
    EXPECT_EQ(events.back(), ListenerEvent::failure(std::strerror(EINVAL)));
    EXPECT_EQ(listener->boundPort(), 0);
}

/// Starts a server of either kind in this process and returns its port (0 on failure).
using Starter = std::function<std::uint16_t()>;

/// The forked child: a server left with a handful of free descriptors, serving until
/// the parent hangs up.
[[noreturn]] void serveWithFewDescriptors(const Starter& start, const std::function<std::string(std::uint16_t)>& probe,
                                         int link) {
    try {
        const std::uint16_t port = start();
        probe(port);  // one exchange while descriptors are plentiful
        int highest = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        // Fill the gaps below the highest descriptor, so exactly four stay free.
        for (int filler; (filler = ::open("/dev/null", O_RDONLY)) >= 0;) {
            if (filler > highest) {
                ::close(filler);
                break;
            }
        }
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(highest) + 1 + 4;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(3);
        const std::uint32_t message[2] = {port, static_cast<std::uint32_t>(limit.rlim_cur)};
        if (::write(link, message, sizeof message) != sizeof message) ::_exit(4);
        for (char byte; ::read(link, &byte, 1) > 0;) {
        }
    } catch (...) {
        ::_exit(2);
    }
    ::_exit(0);
}

std::size_t openDescriptors(pid_t pid) {
    const fs::path path = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
}

struct Kind {
    const char* name;
    Starter start;
    /// Sends one request on a fresh connection and returns the first reply line.
    std::function<std::string(std::uint16_t port)> probe;
};

std::uint16_t waitListening(const std::function<void(ListenerCallback)>& start) {
    return test::firstListenerEvent(start).port;
}

class ListenerLimits : public testing::TestWithParam<int> {};

TEST_P(ListenerLimits, ServerSurvivesRunningOutOfDescriptors) {
    test::TempDir support;
    const Kind kinds[] = {
        {"http",
         [&] {
             static ControlServer* server = nullptr;  // lives until the child exits
             server = new ControlServer(
                 0, [](const ControlHTTPRequest&, ControlResponder) {}, support.path());
             return waitListening([](ListenerCallback events) { server->start(std::move(events)); });
         },
         [](std::uint16_t port) {
             return test::httpExchange(port, "GET /health HTTP/1.1\r\n\r\n").substr(0, 15);
         }},
        {"scpi",
         [] {
             static SerialSession session;
             static SCPIServer* server = nullptr;
             server = new SCPIServer(0, [] {
                 return std::make_unique<SCPIInstrument>(session, DeviceIdentity{DeviceIdentity::supportedModel, 1, 1});
             });
             return waitListening([](ListenerCallback events) { server->start(std::move(events)); });
         },
         [](std::uint16_t port) {
             test::LoopbackClient client(port);
             client.send("*OPC?\n");
             return client.readLine();
         }},
    };
    const Kind& kind = kinds[GetParam()];
    SCOPED_TRACE(kind.name);
    int link[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(link[0]);
        serveWithFewDescriptors(kind.start, kind.probe, link[1]);
    }
    ::close(link[1]);
    std::uint32_t message[2] = {0, 0};
    const bool reported = ::read(link[0], message, sizeof message) == sizeof message;
    if (reported) {
        const auto port = static_cast<std::uint16_t>(message[0]);
        {
            std::vector<std::unique_ptr<test::LoopbackClient>> idle;
            for (int i = 0; i < 16; ++i) idle.push_back(std::make_unique<test::LoopbackClient>(port));
            EXPECT_TRUE(test::waitUntil([&] { return openDescriptors(pid) >= message[1]; }))
                << "never ran out: " << openDescriptors(pid) << " of " << message[1];
        }
        const std::string expected = GetParam() == 0 ? "HTTP/1.1 200 OK" : "1\n";
        EXPECT_TRUE(test::waitUntil([&] { return kind.probe(port) == expected; }));
    }
    ::close(link[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(reported);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(BothServers, ListenerLimits, testing::Values(0, 1));

}  // namespace
}  // namespace varek
