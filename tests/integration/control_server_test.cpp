#include "varek/control_server.hpp"

#include <arpa/inet.h>
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

// ---- plain blocking client sockets --------------------------------------------

struct Received {
    std::string data;
    bool closed = false;
};

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

/// Reads until the peer closes (or resets) the connection or `limit` passes.
Received readUntilClosed(int fd, std::chrono::milliseconds limit = generous) {
    Received received;
    const auto end = Clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return received;
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            received.data.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno == ECONNRESET) {
            received.closed = true;
            return received;
        }
    }
}

Received roundTrip(std::uint16_t port, std::string_view request) {
    const int fd = connectTo(port);
    if (fd < 0) return {};
    sendAll(fd, request);
    Received received = readUntilClosed(fd);
    ::close(fd);
    return received;
}

std::size_t openDescriptors(pid_t pid = 0) {
    const fs::path path = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path), fs::directory_iterator()));
}

template <typename Predicate>
bool eventually(Predicate done) {
    const auto end = Clock::now() + generous;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::string request(std::string_view method, std::string_view path, std::string_view authorization = {}) {
    std::string text = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: test\r\n";
    if (!authorization.empty()) text += "Authorization: " + std::string(authorization) + "\r\n";
    return text + "\r\n";
}

// ---- a server with a recording handler -----------------------------------------

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (fs::temp_directory_path() / "varek-api-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDirectory() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

/// A server under test: records handled requests and the status lines it reports.
class TestServer {
public:
    explicit TestServer(const fs::path& support, std::uint16_t port = 0)
        : server_(port, [this](const ControlHTTPRequest& r) { return handle(r); }, support, 2) {}

    /// Starts and waits for the first status line.
    std::string start() {
        server_.start([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
            changed_.notify_all();
        });
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, generous, [&] { return !lines_.empty(); })) return "<no status line>";
        return lines_.front();
    }
    std::vector<std::string> handled() {
        std::lock_guard lock(mutex_);
        return handled_;
    }
    ControlServer& server() { return server_; }
    std::uint16_t port() const { return server_.boundPort(); }
    std::string bearer() const { return "Bearer " + server_.token(); }

private:
    ControlHTTPReply handle(const ControlHTTPRequest& request) {
        {
            std::lock_guard lock(mutex_);
            handled_.push_back(request.method + " " + request.path);
        }
        if (request.path == "/throw") throw std::runtime_error("handler failed");
        return ControlHTTPReply(200, {{"ok", true}, {"route", request.method + " " + request.path}});
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::string> handled_;
    ControlServer server_;
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        server = std::make_unique<TestServer>(support.path());
        const std::string line = server->start();
        ASSERT_EQ(line, "API已监听 · 本机 / 局域网 · " + std::to_string(server->port()));
    }
    TempDirectory support;
    std::unique_ptr<TestServer> server;
};

std::string wireOf(int status, const Json& body) { return ControlHTTPReply(status, body).wire(); }
const Json unauthorized = {{"ok", false}, {"error", "unauthorized"}};
const Json invalidRequest = {{"ok", false}, {"error", "invalid_request"}};

TEST_F(ControlServerTest, AnswersEachRequestOnceThenCloses) {
    const std::string token = server->server().token();
    const std::string wrongSameLength = "Bearer " + std::string(64, token[0] == 'a' ? 'b' : 'a');
    const struct {
        std::string request;
        std::string reply;
    } cases[] = {
        {request("GET", "/health"),
         wireOf(200, {{"ok", true},
                      {"service", "VAREK output control"},
                      {"serial_connected", "use authenticated /v1/status"},
                      {"source_sha", ControlServer::sourceSHA()}})},
        {request("POST", "/health"), wireOf(401, unauthorized)},
        {request("GET", "/v1/status"), wireOf(401, unauthorized)},
        {request("GET", "/v1/status", wrongSameLength), wireOf(401, unauthorized)},
        {request("GET", "/v1/status", server->bearer() + "0"), wireOf(401, unauthorized)},
        {request("GET", "/v1/status", "bearer " + token), wireOf(401, unauthorized)},
        {request("GET", "/v1/status", server->bearer()), wireOf(200, {{"ok", true}, {"route", "GET /v1/status"}})},
        {request("POST", "/health", server->bearer()), wireOf(200, {{"ok", true}, {"route", "POST /health"}})},
        {request("POST", "/throw", server->bearer()), wireOf(502, {{"ok", false}})},
        {"HELLO\r\n\r\n", wireOf(400, invalidRequest)},
        {std::string(8193, 'x'), wireOf(400, invalidRequest)},
        {"GET /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", wireOf(400, invalidRequest)},
        {request("GET", "/a") + request("GET", "/b"), wireOf(401, unauthorized)},
        {request("GET", "/v1/first", server->bearer()) + request("GET", "/v1/second", server->bearer()),
         wireOf(200, {{"ok", true}, {"route", "GET /v1/first"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        const Received received = roundTrip(server->port(), c.request);
        EXPECT_TRUE(received.closed);
        EXPECT_EQ(received.data, c.reply);
    }
    EXPECT_EQ(server->handled(),
              (std::vector<std::string>{"GET /v1/status", "POST /health", "POST /throw", "GET /v1/first"}));
}

TEST_F(ControlServerTest, HalfRequestThenEndOfInputClosesWithoutReply) {
    const int fd = connectTo(server->port());
    sendAll(fd, "GET /health HTTP/1.1\r\nHost:");
    ::shutdown(fd, SHUT_WR);
    // Well inside the 15-second limit, so only the end of input can have closed it.
    const Received received = readUntilClosed(fd, 10s);
    ::close(fd);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ(received.data, "");
}

TEST_F(ControlServerTest, HalfRequestIsClosedFifteenSecondsAfterAccept) {
    const auto connected = Clock::now();
    const int fd = connectTo(server->port());
    sendAll(fd, "GET /health HTTP/1.1\r\n");
    const Received received = readUntilClosed(fd, generous);
    const auto elapsed = Clock::now() - connected;
    ::close(fd);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ(received.data, "");
    EXPECT_GE(elapsed, 15s) << "closed before the limit";
}

TEST_F(ControlServerTest, StopKeepsAcceptedConnectionsAndRefusesNewOnes) {
    const int waiting = connectTo(server->port());
    sendAll(waiting, "GET /health HTTP/1.1\r\n");
    // Accepts are in arrival order: once this probe is answered, `waiting` was accepted.
    ASSERT_TRUE(roundTrip(server->port(), request("GET", "/health")).closed);
    const std::uint16_t port = server->port();
    server->server().stop();

    EXPECT_EQ(server->server().boundPort(), 0);
    EXPECT_EQ(connectTo(port), -1);
    sendAll(waiting, "\r\n");
    const Received received = readUntilClosed(waiting);
    ::close(waiting);
    EXPECT_EQ(received.data.substr(0, 15), "HTTP/1.1 200 OK");
}

TEST_F(ControlServerTest, DestructionClosesLiveConnections) {
    const int idle = connectTo(server->port());
    ASSERT_TRUE(roundTrip(server->port(), request("GET", "/health")).closed);
    server.reset();
    const Received received = readUntilClosed(idle, 10s);
    ::close(idle);
    EXPECT_TRUE(received.closed);
    EXPECT_EQ(received.data, "");
}

TEST_F(ControlServerTest, ManyIdleConnectionsDoNotBlockTheHealthProbe) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    constexpr std::size_t idleCount = 1000;
    if (limit.rlim_cur < 3 * idleCount) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 3 * idleCount);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    const std::size_t baseline = openDescriptors();
    std::vector<int> idle;
    for (std::size_t i = 0; i < idleCount; ++i) {
        const int fd = connectTo(server->port());
        ASSERT_GE(fd, 0) << "connection " << i;
        idle.push_back(fd);
    }
    const Received probe = roundTrip(server->port(), request("GET", "/health"));
    EXPECT_EQ(probe.data.substr(0, 15), "HTTP/1.1 200 OK");
    for (const int fd : idle) ::close(fd);
    EXPECT_TRUE(eventually([&] { return openDescriptors() == baseline; })) << openDescriptors() << " vs " << baseline;
}

TEST_F(ControlServerTest, NothingLeaksAfterConnectionsClose) {
    const std::size_t baseline = openDescriptors();
    for (int round = 0; round < 50; ++round) {
        roundTrip(server->port(), request("GET", "/health"));
        roundTrip(server->port(), request("GET", "/v1/status", server->bearer()));
        roundTrip(server->port(), "garbage\r\n\r\n");
        const int half = connectTo(server->port());
        sendAll(half, "GET / HTTP/1.1\r\n");
        ::close(half);
    }
    EXPECT_TRUE(eventually([&] { return openDescriptors() == baseline; })) << openDescriptors() << " vs " << baseline;
}

TEST(ControlServerListener, PortInUseIsReportedThroughState) {
    TempDirectory support;
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 4), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);

    TestServer second(support.path(), ntohs(address.sin_port));
    EXPECT_EQ(second.start(), "API启动失败：Address already in use");
    EXPECT_EQ(second.port(), 0);
    ::close(holder);
}

TEST(ControlServerListener, RestartsOnThePortOfAClosedServer) {
    TempDirectory support;
    auto first = std::make_unique<TestServer>(support.path());
    first->start();
    const std::uint16_t port = first->port();
    // The server closes first, so its side of this connection lingers in TIME_WAIT.
    ASSERT_TRUE(roundTrip(port, request("GET", "/health")).closed);

    TestServer rival(support.path(), port);
    EXPECT_EQ(rival.start(), "API启动失败：Address already in use") << "two live listeners must conflict";
    first.reset();
    TestServer restarted(support.path(), port);
    EXPECT_EQ(restarted.start(), "API已监听 · 本机 / 局域网 · " + std::to_string(port));
}

/// The forked child of the test below: a server left with four free descriptors.
[[noreturn]] void serveWithFewDescriptors(const fs::path& support, int report, int hold) {
    try {
        TestServer child(support);
        child.start();
        int highest = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        }
        // Fill the gaps below the highest descriptor, so exactly four stay free.
        for (;;) {
            const int filler = ::open("/dev/null", O_RDONLY);
            if (filler < 0) break;
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
        if (::write(report, message, sizeof message) != sizeof message) ::_exit(4);
        char byte;
        while (::read(hold, &byte, 1) > 0) {
        }
    } catch (...) {
        ::_exit(2);
    }
    ::_exit(0);
}

TEST(ControlServerLimits, ListenerSurvivesRunningOutOfDescriptors) {
    TempDirectory support;
    int report[2];
    int hold[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(hold, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(report[0]);
        ::close(hold[1]);
        serveWithFewDescriptors(support.path(), report[1], hold[0]);
    }
    ::close(report[1]);
    ::close(hold[0]);
    std::uint32_t message[2] = {0, 0};
    const bool reported = ::read(report[0], message, sizeof message) == sizeof message;
    ::close(report[0]);
    if (reported) {
        const auto port = static_cast<std::uint16_t>(message[0]);
        std::vector<int> idle;
        for (int i = 0; i < 16; ++i) idle.push_back(connectTo(port));
        EXPECT_TRUE(eventually([&] { return openDescriptors(pid) >= message[1]; })) << "never ran out: " << openDescriptors(pid) << " of " << message[1];
        for (const int fd : idle) ::close(fd);
        const Received probe = roundTrip(port, request("GET", "/health"));
        EXPECT_EQ(probe.data.substr(0, 15), "HTTP/1.1 200 OK");
    }
    ::close(hold[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(reported);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace varek
