// The control server over real loopback sockets.
#include "varek/control_server.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_client.hpp"
#include "temp_dir.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::LoopbackClient;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

std::string request(std::string_view path, std::string_view authorization = {}, std::string_view method = "GET") {
    std::string text = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: test\r\n";
    if (!authorization.empty()) text += "Authorization: " + std::string(authorization) + "\r\n";
    return text + "\r\n";
}

std::string wireOf(int status, const Json& body) { return ControlHTTPReply(status, body).wire(); }

/// A server whose handler answers from a thread of its own, as device work does, and
/// can hold requests back to see what happens to them meanwhile.
class TestServer {
public:
    explicit TestServer(const fs::path& support, std::uint16_t port = 0)
        : server_(port, [this](const ControlHTTPRequest& request, ControlResponder responder) {
              handle(request, std::move(responder));
          }, support) {}

    /// Starts and waits for the first listener event.
    ListenerEvent start() {
        return test::firstListenerEvent([this](ListenerCallback events) { server_.start(std::move(events)); });
    }
    std::uint16_t port() const { return server_.boundPort(); }
    std::string bearer() const { return "Bearer " + server_.token(); }
    ControlServer& server() { return server_; }

    /// Responders of "/hold" requests, in arrival order.
    std::vector<ControlResponder> held() {
        std::lock_guard lock(mutex_);
        return held_;
    }

private:
    void handle(const ControlHTTPRequest& request, ControlResponder responder) {
        if (request.path == "/throw") throw std::runtime_error("handler failed");
        if (request.path == "/drop") return;  // the responder goes without a reply
        if (request.path == "/hold") {
            std::lock_guard lock(mutex_);
            held_.push_back(std::move(responder));
            return;
        }
        std::thread([request, responder] {
            responder.reply(ControlHTTPReply(200, {{"ok", true}, {"route", request.method + " " + request.path}}));
        }).detach();
    }

    std::mutex mutex_;
    std::vector<ControlResponder> held_;
    ControlServer server_;
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        const ListenerEvent event = server.start();
        ASSERT_EQ(event, ListenerEvent::listeningOn(server.port()));
    }
    test::TempDir support;
    TestServer server{support.path()};
};

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
                      {"source_sha", platform::sourceSHA()}})},
        {request("/v1/status"), unauthorized},
        {request("/health", {}, "POST"), unauthorized},
        {request("/v1/status", "Bearer " + std::string(64, server.bearer()[7] == 'a' ? 'b' : 'a')), unauthorized},
        {request("/v1/status", server.bearer() + "0"), unauthorized},
        {request("/v1/status", server.bearer()), wireOf(200, {{"ok", true}, {"route", "GET /v1/status"}})},
        {request("/throw", server.bearer()), wireOf(502, {{"ok", false}})},
        {request("/drop", server.bearer()), wireOf(502, {{"ok", false}})},
        {"HELLO\r\n\r\n", wireOf(400, {{"ok", false}, {"error", "invalid_request"}})},
        {request("/v1/first", server.bearer()) + request("/v1/second", server.bearer()),
         wireOf(200, {{"ok", true}, {"route", "GET /v1/first"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        EXPECT_EQ(test::httpExchange(server.port(), c.request), c.reply);
    }
}

TEST_F(ControlServerTest, HalfRequestsGetNoReply) {
    const auto accepted = std::chrono::steady_clock::now();
    LoopbackClient waiting(server.port());
    LoopbackClient ended(server.port());
    waiting.send("GET /health HTTP/1.1\r\n");
    ended.send("GET /health HTTP/1.1\r\nHost:");
    ended.shutdownSend();
    EXPECT_EQ(ended.readAll(), "");
    EXPECT_EQ(waiting.readAll(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - accepted, 15s) << "closed before the limit";
}

// Work for a client that has gone need not be done: the responder says so at once,
// and the connection's descriptor is given back without waiting for the reply.
TEST_F(ControlServerTest, ResetClientIsGoneButHalfClosedOneStillGetsItsReply) {
    LoopbackClient resetting(server.port());
    LoopbackClient halfClosed(server.port());
    resetting.send(request("/hold", server.bearer()));
    halfClosed.send(request("/hold", server.bearer()));
    halfClosed.shutdownSend();
    ASSERT_TRUE(test::waitUntil([&] { return server.held().size() == 2; }));
    resetting.reset();
    const auto held = server.held();
    ASSERT_TRUE(test::waitUntil([&] { return held[0].gone() || held[1].gone(); }));
    ASSERT_TRUE(test::waitUntil([&] { return server.server().connections() == 1; }));
    const ControlResponder& forReset = held[0].gone() ? held[0] : held[1];
    const ControlResponder& forHalf = held[0].gone() ? held[1] : held[0];
    EXPECT_TRUE(forReset.gone());
    EXPECT_FALSE(forHalf.gone());
    forHalf.reply(ControlHTTPReply(200, {{"ok", true}}));
    forHalf.reply(ControlHTTPReply(503, {{"ok", false}}));  // only the first reply counts
    EXPECT_EQ(halfClosed.readAll(), wireOf(200, {{"ok", true}}));
}

TEST_F(ControlServerTest, ConnectionsBeyondTheLimitAreClosedAndNothingLeaks) {
    const std::size_t baseline = openDescriptors();
    {
        // Nine addresses each try two more than their share: eight fill the total cap,
        // the ninth finds it full. Accepts run in connect order, so it is exactly known
        // which connections the server kept.
        constexpr std::size_t share = ControlServer::connectionsPerAddress, tries = share + 2;
        static_assert(ControlServer::connectionLimit == 8 * share);
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (std::size_t i = 0; i < 9 * tries; ++i) {
            idle.push_back(std::make_unique<LoopbackClient>(server.port(), static_cast<std::uint8_t>(1 + i / tries)));
        }
        const auto refused = [&](std::size_t i) { return i / tries == 8 || i % tries >= share; };
        ASSERT_TRUE(test::waitUntil([&] { return server.server().connections() == ControlServer::connectionLimit; }));
        // The ones over a limit were closed by the server at once.
        ASSERT_TRUE(test::waitUntil([&] {
            for (std::size_t i = 0; i < idle.size(); ++i) {
                if (refused(i) && !idle[i]->closed()) return false;
            }
            return true;
        }));
        for (std::size_t i = 0; i < idle.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(idle[i]->closed(), refused(i));
        }
    }
    ASSERT_TRUE(test::waitUntil([&] { return server.server().connections() == 0; }));
    for (int round = 0; round < 50; ++round) {
        test::httpExchange(server.port(), request("/v1/status", server.bearer()));
        test::httpExchange(server.port(), "garbage\r\n\r\n");
        LoopbackClient half(server.port());
        half.send("GET / HTTP/1.1\r\n");
    }
    EXPECT_EQ(test::httpExchange(server.port(), request("/health")).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_TRUE(test::waitUntil([&] { return openDescriptors() == baseline; }))
        << openDescriptors() << " vs " << baseline;
}

TEST_F(ControlServerTest, PortInUseIsAFailureEvent) {
    TestServer second(support.path(), server.port());
    EXPECT_EQ(second.start(), ListenerEvent::failure("Address already in use"));
    EXPECT_EQ(second.port(), 0);
}

}  // namespace
}  // namespace varek
