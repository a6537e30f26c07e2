// The shared accept loop under resource pressure: it must outlive running out of
// descriptors, and only a broken listening socket may stop it. (Both servers share
// it; the real program run out of descriptors: server_hostile_test.)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_client.hpp"
#include "varek/net/tcp_listener.hpp"
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

}  // namespace
}  // namespace varek
