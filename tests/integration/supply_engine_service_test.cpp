// The engine left running as varek-server leaves it: polling on demand or steadily,
// the dashboard's routes from memory, link supervision and what the server body and
// the metrics show of it, against simulated supplies.
#include <filesystem>
#include <future>

#include "supply_engine_fixture.hpp"
#include "varek/metrics_server.hpp"
#include "varek/metrics_text.hpp"

namespace varek::test {
namespace {

using Kind = LinkSupervisor::State::Kind;

const Json unavailableBody = {{"ok", false}, {"connected", false}, {"error", "power_supply_unavailable"}};

TEST_F(SupplyEngineTest, DashboardRoutesAnswerFromMemoryAndPollOnlyWhileWatched) {
    EXPECT_EQ(request("GET", "/v1/server").body,
              (Json{{"ok", true},
                    {"link", {{"state", "connected"}, {"since", nullptr}, {"reason", nullptr}, {"found_serial", nullptr}}},
                    {"reconnects", 0},
                    {"poll_hz", nullptr},
                    {"on_demand", true},
                    {"recording", nullptr},
                    {"ceilings", {{"voltage_V", 60}, {"current_limit_A", 30}}},
                    {"sequence", nullptr},
                    {"model", 60301},
                    {"serial", 12345},
                    {"firmware", 1.23}}));
    const Json empty = Json::array();
    EXPECT_EQ(request("GET", "/v1/history").body,
              (Json{{"ok", true}, {"time_s", empty}, {"voltage_V", empty}, {"current_A", empty}, {"power_W", empty}}));
    EXPECT_EQ(sim.requests(), std::vector<Bytes>{}) << "/v1/server and /v1/history start nothing";

    sim.setReg(Register::voltageSet, 1234);
    const auto first = request("GET", "/v1/latest");  // the first watch starts polling at 1 Hz
    if (first.status != 200) {
        EXPECT_EQ(first.body, unavailableBody);
    }
    ASSERT_TRUE(waitUntil([&] { return engine.feed().history().size() >= 2; }));
    const auto latest = request("GET", "/v1/latest");
    EXPECT_EQ(latest.body.size(), 21u);  // the sample's keys and its age
    EXPECT_EQ(latest.body["voltage_set_V"], 12.34);
    EXPECT_GE(latest.body["age_s"].get<double>(), 0);
    EXPECT_EQ(request("GET", "/v1/server").body["poll_hz"], 1);
    const Json history = request("GET", "/v1/history").body;
    for (const char* column : {"voltage_V", "current_A", "power_W"}) {
        EXPECT_EQ(history[column].size(), history["time_s"].size()) << column;
    }
    EXPECT_LT(history["time_s"].front().get<double>(), history["time_s"].back().get<double>());
    EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{});

    // Polling stops a minute after the last watch, and the next watch starts it again.
    ASSERT_TRUE(waitUntil([&] { return !engine.feed().pollHertz(); }, 180s));
    const std::size_t stoppedAt = sim.requestCount();
    request("GET", "/v1/latest");
    EXPECT_EQ(request("GET", "/v1/server").body["poll_hz"], 1);
    EXPECT_TRUE(waitUntil([&] { return sim.requestCount() > stoppedAt; }));
}

TEST_F(SupplyEngineTest, TheServerBodyShowsCeilingsRecordingAndTheSequence) {
    engine.setCeilings({1200, 250});
    engine.feed().poll(1);
    SampleRecorder::Options recording;
    recording.directory = support.path() / "rec";
    recording.serial = identity.serial;
    engine.feed().startRecording(recording, {});
    ASSERT_TRUE(waitUntil([&] { return engine.feed().recording() && engine.feed().recording()->file; }));
    ASSERT_EQ(request("POST", "/v1/sequence", R"({"name":"slow","on_end":"off","steps":[{"voltage_V":1,"hold_s":60}]})")
                  .status,
              202);
    const Json body = request("GET", "/v1/server").body;
    EXPECT_EQ(body["ceilings"], (Json{{"voltage_V", 12}, {"current_limit_A", 2.5}}));
    EXPECT_EQ(body["poll_hz"], 1);
    EXPECT_EQ(body["on_demand"], false);
    EXPECT_EQ(body["recording"]["directory"], recording.directory.string());
    EXPECT_TRUE(body["recording"]["file"].get<std::string>().starts_with((recording.directory / "varek-12345-").string()));
    EXPECT_EQ(body["recording"]["paused"], false);
    EXPECT_EQ(body["recording"]["reason"], nullptr);
    EXPECT_EQ(body["sequence"]["name"], "slow");
    EXPECT_EQ(body["sequence"]["state"], "running");
}

TEST_F(SupplyEngineTest, AfterSilenceAnotherSerialGetsNoWriteAndTheRightOneIsTakenBack) {
    engine.supervise({sim.path(), 115200, 1, identity});
    engine.feed().poll(10);
    sim.setSilent(true);
    ASSERT_TRUE(sim.waitForRequests(1, 20s));  // a poll waits out the silence
    auto switchOn = std::async(std::launch::async, [&] { return request("POST", "/v1/output/on"); });
    ASSERT_TRUE(waitUntil([&] { return engine.outputs().pending() == 1; }));
    sim.setSerial(777);
    sim.setSilent(false);
    EXPECT_EQ(switchOn.get().status, 502);
    ASSERT_TRUE(waitUntil([&] { return seen("Link refused: found serial 777"); }));
    EXPECT_EQ(request("GET", "/v1/status").body, unavailableBody);
    EXPECT_EQ(request("GET", "/v1/server").body["link"]["found_serial"], 777);
    EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{});
    EXPECT_EQ(sim.reg(Register::output), 0);
    sim.setSerial(12345);
    EXPECT_TRUE(waitUntil([&] { return request("GET", "/v1/status").status == 200; }));
}

TEST_F(SupplyEngineTest, ASilentSupplyTurnsUpToZeroWhileScrapesStillAnswer) {
    MetricsServer metrics(0, [this] { return metricsExposition(engine.metrics()); }, "127.0.0.1");
    const std::uint16_t port = firstListenerEvent([&](ListenerCallback events) { metrics.start(std::move(events)); }).port;
    const auto scrape = [port] { return httpExchange(port, "GET /metrics HTTP/1.1\r\n\r\n"); };
    engine.feed().poll(10);
    ASSERT_TRUE(waitUntil([&] { return engine.feed().up(); }));
    EXPECT_NE(scrape().find("\nvarek_up 1.0\n"), std::string::npos);
    sim.setSilent(true);
    ASSERT_TRUE(waitUntil([&] { return engine.metrics().transactions["timeout"] > 0; }, 30s));
    const std::string text = scrape();  // from memory, while the device line waits on the supply
    EXPECT_NE(text.find("\nvarek_up 0.0\n"), std::string::npos);
    EXPECT_EQ(text.find("varek_output_voltage_volts"), std::string::npos);
    EXPECT_NE(text.find("varek_link_transactions_total{result=\"timeout\"} "), std::string::npos);
    EXPECT_EQ(text.find("varek_link_transactions_total{result=\"timeout\"} 0\n"), std::string::npos);
}

/// The engine opens the supply through a link that a test can point elsewhere, as a
/// by-id path follows a re-plugged adapter.
class SupplyLinkTest : public SupplyEngineTest {
protected:
    std::string port() override {
        std::filesystem::create_symlink(sim.path(), link);
        return link.string();
    }
    void pointAt(const sim::SupplySimulator& supply) {
        std::filesystem::remove(link);
        std::filesystem::create_symlink(supply.path(), link);
    }
    const std::filesystem::path link = support.path() / "supply";
};

TEST_F(SupplyLinkTest, AHangUpShowsAsLostAndOnlyTheSameSupplyIsTakenBack) {
    engine.supervise({link.string(), 115200, 1, identity});
    sim.hangUp();
    ASSERT_TRUE(waitUntil([&] { return engine.linkState().kind == Kind::lost; }));
    const Json lost = request("GET", "/v1/server").body["link"];
    EXPECT_EQ(lost["state"], "lost");
    EXPECT_TRUE(lost["since"].get<std::string>().ends_with("Z"));
    EXPECT_FALSE(lost["reason"].get<std::string>().empty());
    EXPECT_EQ(request("GET", "/v1/status").body, unavailableBody);

    sim::SupplySimulator stranger(sim::SimulatorOptions{.serial = 777});
    pointAt(stranger);
    ASSERT_TRUE(waitUntil([&] { return seen("Link refused: found serial 777"); }));
    EXPECT_EQ(request("GET", "/v1/server").body["link"]["state"], "refused");
    EXPECT_EQ(request("POST", "/v1/output/on").status, 502);

    sim::SupplySimulator back;
    pointAt(back);
    ASSERT_TRUE(waitUntil([&] { return engine.linkState().kind == Kind::connected; }));
    EXPECT_TRUE(seen("Link lost: "));
    EXPECT_TRUE(seen("Link back: serial 12345 on " + link.string()));
    EXPECT_EQ(request("GET", "/v1/server").body["reconnects"], 1);
    EXPECT_EQ(request("GET", "/v1/status").status, 200);
    EXPECT_EQ(writesAmong(stranger.requests()), std::vector<Bytes>{});
    EXPECT_EQ(writesAmong(back.requests()), std::vector<Bytes>{});
    engine.close();  // before the supplies go
}

}  // namespace
}  // namespace varek::test
