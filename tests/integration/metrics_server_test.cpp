// MetricsServer over loopback, and what the exposition shows and hides.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "loopback_client.hpp"
#include "varek/metrics_server.hpp"
#include "varek/metrics_text.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto event = test::firstListenerEvent([this](ListenerCallback events) { server.start(events); });
        ASSERT_EQ(event.kind, ListenerEvent::Kind::listening);
        port = event.port;
    }

    MetricsServer server{0, [] { return std::string("varek_up 1\n"); }, "127.0.0.1"};
    std::uint16_t port = 0;
};

TEST_F(MetricsServerTest, ServesOnlyGetMetrics) {
    const std::string ok = test::httpExchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(ok,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4\r\nContent-Length: 11\r\n"
              "Connection: close\r\n\r\nvarek_up 1\n");
    for (const char* request : {"GET / HTTP/1.1\r\n\r\n", "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                                "GET /metrics/ HTTP/1.1\r\n\r\n", "GET /v1/status HTTP/1.1\r\n\r\n"}) {
        SCOPED_TRACE(request);
        EXPECT_TRUE(test::httpExchange(port, request).starts_with("HTTP/1.1 404 Not Found\r\n"));
    }
    EXPECT_TRUE(test::httpExchange(port, "NOT HTTP\r\n\r\n").starts_with("HTTP/1.1 400"));
}

TEST_F(MetricsServerTest, StopClosesConnectionsAndTheListener) {
    test::LoopbackClient idle(port);
    ASSERT_TRUE(test::waitUntil([this] { return server.connections() == 1; }));
    server.stop();
    EXPECT_EQ(server.connections(), 0u);
    EXPECT_EQ(idle.readAll(), "");
    EXPECT_EQ(server.boundPort(), 0);
}

// varek-server ends with exit 1 on this event: a metrics port that silently stopped
// answering would look like a supply that went away.
TEST(MetricsServerFailure, AListenerThatBreaksWhileServingIsReported) {
    std::mutex mutex;
    std::vector<ListenerEvent> events;
    const auto seen = [&] {
        std::lock_guard lock(mutex);
        return events.size();
    };
    MetricsServer server{0, [] { return std::string("varek_up 1\n"); }, "127.0.0.1"};
    server.start([&](const ListenerEvent& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    });
    ASSERT_TRUE(test::waitUntil([&] { return seen() == 1; }));
    const std::uint16_t port = server.boundPort();
    ASSERT_EQ(::shutdown(test::listeningSocket(port), SHUT_RDWR), 0);
    ASSERT_TRUE(test::waitUntil([&] { return seen() == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<ListenerEvent>{ListenerEvent::listeningOn(port), ListenerEvent::failure("Invalid argument")}));
    EXPECT_EQ(server.boundPort(), 0);
}

TEST(MetricsTextTest, ReadingsOnlyWhileUp) {
    MetricsSnapshot snapshot;
    snapshot.identity = {60301, 4242, 1.23};
    snapshot.sourceSHA = "abc";
    snapshot.transactions = zeroTransactionCounts();
    PowerSample sample;
    sample.voltage = 12.5;
    snapshot.sample = sample;
    for (const bool up : {true, false}) {
        SCOPED_TRACE(up);
        snapshot.up = up;
        const std::string text = metricsExposition(snapshot);
        EXPECT_NE(text.find(up ? "\nvarek_up 1.0\n" : "\nvarek_up 0.0\n"), std::string::npos);
        EXPECT_EQ(text.find("varek_output_voltage_volts 12.5\n") != std::string::npos, up);
        EXPECT_NE(text.find("varek_info{model=\"60301\",serial=\"4242\",firmware=\"1.23\",source_sha=\"abc\"} 1\n"),
                  std::string::npos);
        EXPECT_NE(text.find("varek_link_transactions_total{result=\"timeout\"} 0\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace varek
