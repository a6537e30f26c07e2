#include "varek/control_server.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace varek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto generous = 30s;

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

void sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

/// What arrived before the peer closed (or reset) the connection; nothing if `limit` passed first.
std::optional<std::string> readUntilClosed(int fd, std::chrono::milliseconds limit = generous) {
    std::string received;
    const auto end = Clock::now() + limit;
    for (auto left = limit.count(); left > 0;
         left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count()) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            received.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            return received;
        }
    }
    return std::nullopt;
}

std::optional<std::string> roundTrip(std::uint16_t port, std::string_view request) {
    const int fd = connectTo(port);
    if (fd < 0) return std::nullopt;
    sendAll(fd, request);
    auto received = readUntilClosed(fd);
    ::close(fd);
    return received;
}

std::size_t openDescriptors(pid_t pid = 0) {
    const fs::path path = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
}

template <typename Predicate>
bool eventually(Predicate done) {
    for (const auto end = Clock::now() + generous; !done(); std::this_thread::sleep_for(5ms)) {
        if (Clock::now() > end) return false;
    }
    return true;
}

std::string request(std::string_view path, std::string_view authorization = {}) {
    std::string text = "GET " + std::string(path) + " HTTP/1.1\r\nHost: test\r\n";
    if (!authorization.empty()) text += "Authorization: " + std::string(authorization) + "\r\n";
    return text + "\r\n";
}

const std::string ok200 = "HTTP/1.1 200 OK";

struct TempDirectory {
    TempDirectory() {
        std::string pattern = (fs::temp_directory_path() / "varek-api-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDirectory() { fs::remove_all(path); }
    fs::path path;
};

/// A server under test that keeps the first status line it reports.
class TestServer {
public:
    explicit TestServer(const fs::path& support, std::uint16_t port = 0)
        : server_(port, handle, support, 2) {}

    /// Starts and waits for the first status line.
    std::string start() {
        server_.start([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            if (first_.empty()) first_ = line;
            changed_.notify_all();
        });
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, generous, [&] { return !first_.empty(); });
        return first_;
    }
    std::uint16_t port() const { return server_.boundPort(); }
    std::string bearer() const { return "Bearer " + server_.token(); }

private:
    static ControlHTTPReply handle(const ControlHTTPRequest& request) {
        if (request.path == "/throw") throw std::runtime_error("handler failed");
        return ControlHTTPReply(200, {{"ok", true}, {"route", request.method + " " + request.path}});
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string first_;
    ControlServer server_;
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        const std::string line = server.start();
        ASSERT_EQ(line, "API已监听 · 本机 / 局域网 · " + std::to_string(server.port()));
    }
    TempDirectory support;
    TestServer server{support.path};
};

std::string wireOf(int status, const Json& body) { return ControlHTTPReply(status, body).wire(); }

TEST_F(ControlServerTest, AnswersEachRequestOnceThenCloses) {
    const std::string unauthorized = wireOf(401, {{"ok", false}, {"error", "unauthorized"}});
    const struct {
        std::string request;
        std::string reply;
    } cases[] = {
        {request("/health"),
         wireOf(200, {{"ok", true},
                      {"service", "VAREK output control"},
                      {"serial_connected", "use authenticated /v1/status"},
                      {"source_sha", ControlServer::sourceSHA()}})},
        {request("/v1/status"), unauthorized},
        {request("/v1/status", "Bearer " + std::string(64, server.bearer()[7] == 'a' ? 'b' : 'a')), unauthorized},
        {request("/v1/status", server.bearer() + "0"), unauthorized},
        {request("/v1/status", server.bearer()), wireOf(200, {{"ok", true}, {"route", "GET /v1/status"}})},
        {request("/throw", server.bearer()), wireOf(502, {{"ok", false}})},
        {"HELLO\r\n\r\n", wireOf(400, {{"ok", false}, {"error", "invalid_request"}})},
        {request("/v1/first", server.bearer()) + request("/v1/second", server.bearer()),
         wireOf(200, {{"ok", true}, {"route", "GET /v1/first"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        EXPECT_EQ(roundTrip(server.port(), c.request), c.reply);
    }
}

TEST_F(ControlServerTest, HalfRequestsGetNoReply) {
    const auto accepted = Clock::now();
    const int waiting = connectTo(server.port());
    const int ended = connectTo(server.port());
    sendAll(waiting, "GET /health HTTP/1.1\r\n");
    sendAll(ended, "GET /health HTTP/1.1\r\nHost:");
    ::shutdown(ended, SHUT_WR);
    // Well inside the 15-second limit, so only the end of input can have closed it.
    const auto early = readUntilClosed(ended, 10s);
    const auto late = readUntilClosed(waiting);
    const auto elapsed = Clock::now() - accepted;
    ::close(waiting);
    ::close(ended);
    EXPECT_EQ(early, "");
    EXPECT_EQ(late, "");
    EXPECT_GE(elapsed, 15s) << "closed before the limit";
}

TEST_F(ControlServerTest, IdleConnectionsDoNotBlockTheHealthProbeAndNothingLeaks) {
    constexpr std::size_t idleCount = 1000;
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 3 * idleCount) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 3 * idleCount);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const std::size_t baseline = openDescriptors();
    std::vector<int> idle;
    for (std::size_t i = 0; i < idleCount; ++i) {
        idle.push_back(connectTo(server.port()));
        ASSERT_GE(idle.back(), 0) << "connection " << i;
    }
    EXPECT_EQ(roundTrip(server.port(), request("/health")).value_or("").substr(0, 15), ok200);
    for (const int fd : idle) ::close(fd);
    for (int round = 0; round < 50; ++round) {
        roundTrip(server.port(), request("/v1/status", server.bearer()));
        roundTrip(server.port(), "garbage\r\n\r\n");
        const int half = connectTo(server.port());
        sendAll(half, "GET / HTTP/1.1\r\n");
        ::close(half);
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() == baseline; })) << openDescriptors() << " vs " << baseline;
}

TEST_F(ControlServerTest, PortInUseGivesTheFailureLine) {
    TestServer second(support.path, server.port());
    EXPECT_EQ(second.start(), "API启动失败：Address already in use");
    EXPECT_EQ(second.port(), 0);
}

/// The forked child of the test below: a server left with four free descriptors.
[[noreturn]] void serveWithFewDescriptors(const fs::path& support, int link) {
    try {
        TestServer child(support);
        child.start();
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
        const std::uint32_t message[2] = {child.port(), static_cast<std::uint32_t>(limit.rlim_cur)};
        if (::write(link, message, sizeof message) != sizeof message) ::_exit(4);
        for (char byte; ::read(link, &byte, 1) > 0;) {  // serve until the parent hangs up
        }
    } catch (...) {
        ::_exit(2);
    }
    ::_exit(0);
}

TEST(ControlServerLimits, ListenerSurvivesRunningOutOfDescriptors) {
    TempDirectory support;
    int link[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, link), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(link[0]);
        serveWithFewDescriptors(support.path, link[1]);
    }
    ::close(link[1]);
    std::uint32_t message[2] = {0, 0};
    const bool reported = ::read(link[0], message, sizeof message) == sizeof message;
    if (reported) {
        const auto port = static_cast<std::uint16_t>(message[0]);
        std::vector<int> idle;
        for (int i = 0; i < 16; ++i) idle.push_back(connectTo(port));
        EXPECT_TRUE(eventually([&] { return openDescriptors(pid) >= message[1]; }))
            << "never ran out: " << openDescriptors(pid) << " of " << message[1];
        for (const int fd : idle) ::close(fd);
        EXPECT_EQ(roundTrip(port, request("/health")).value_or("").substr(0, 15), ok200);
    }
    ::close(link[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(reported);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace varek
