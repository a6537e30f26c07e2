// The application's HTTP API over loopback.
#include "power_model_fixture.hpp"
#include "varek/platform.hpp"

namespace varek::test {
namespace {

const Json disconnectedStatus = {{"ok", true}, {"connected", false}, {"recovering", false},
                                 {"source_sha", platform::sourceSHA()}};

TEST_F(PowerModelTest, RoutesAndStatusFollowTheConnection) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    ASSERT_TRUE(waitFor([&] { return model->apiState().startsWith(QStringLiteral("API已监听")); }));
    EXPECT_EQ(model->apiState().toStdString(), "API已监听 · 本机 / 局域网 · " + std::to_string(model->httpPort()));
    const struct {
        const char *method, *path;
        int status;
        Json body;
    } cases[] = {
        {"POST", "/v1/output/off", 503, {{"ok", false}, {"error", "power_supply_unavailable"}, {"verified", false}}},
        {"GET", "/v1/status", 200, disconnectedStatus},
    };
    for (const auto& c : cases) {
        const auto reply = request(c.method, c.path);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(reply.body, c.body) << c.method << " " << c.path;
    }
    connectModel();
    auto status = request("GET", "/v1/status").body;
    EXPECT_EQ(status["connected"], true);
    EXPECT_EQ(status["sample_at"].get<std::string>().size(), 20u);  // whole seconds and Z
    for (const char* key : {"output_enabled", "voltage_V", "current_A"}) EXPECT_TRUE(status.contains(key)) << key;
    EXPECT_EQ(request("POST", "/v1/output/on").status, 200);
    EXPECT_EQ(lastLog(), "API请求开启输出，已读回确认。");
    model->disconnect();
    Json expected = disconnectedStatus;
    expected.update({{"model", 60301}, {"firmware", 1.23}});
    EXPECT_EQ(request("GET", "/v1/status").body, expected);
}

TEST_F(PowerModelTest, RequestQueuedAcrossADisconnectIsNotCarriedOut) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    connectModel();
    holdFirstWriteTo(18);
    auto on = send("POST", "/v1/output/on");
    ASSERT_TRUE(waitFor([&] { return writesTo(sim->requests(), 18) == 1; }));
    // The second request is routed for this connection; then disconnect at once.
    auto off = sendQueued("POST", "/v1/output/off");
    model->disconnect();
    gate.open();
    ASSERT_TRUE(waitFor([&] { return ready(on) && ready(off) && !model->busy(); }));
    EXPECT_EQ(on.get().body["error"], "connection_changed");
    const auto refused = off.get();
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body, (Json{{"ok", false}, {"error", "connection_changed"}, {"verified", false}}));
    EXPECT_EQ(writesTo(sim->requests(), 18), 1u);
}

TEST_F(PowerModelTest, UnconfirmedSwitchIs502WithALogLineAndNoAlert) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    connectModel();
    sim->setOutputStuck(true);
    const auto reply = request("POST", "/v1/output/on");
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(reply.body, (Json{{"ok", false}, {"error", "device_confirmation_failed"},
                                {"message", "电源读回值与请求不一致，请检查面板。"}, {"verified", false}}));
    EXPECT_EQ(lastLog(), "API输出切换未确认：电源读回值与请求不一致，请检查面板。");
    EXPECT_FALSE(model->errorMessage() || model->busy());
}

TEST_F(PowerModelTest, OutputRequestsDuringRecoveryAreRefused) {
    start({QStringLiteral("--refresh"), QStringLiteral("5")});
    connectModel();
    // One poll goes unanswered; the recovery's identity read is held while we ask.
    silenceNext(1, [this](const Bytes& f, bool silent) {
        if (!silent && isRead(f, 0, 4)) gate.wait();
    });
    ASSERT_TRUE(waitFor([&] { return model->recovering(); }));
    const auto refused = request("POST", "/v1/output/on");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body["error"], "power_supply_unavailable");
    const auto status = request("GET", "/v1/status").body;
    EXPECT_EQ(status["recovering"], true);
    EXPECT_FALSE(status.contains("voltage_V"));
    gate.open();
    ASSERT_TRUE(waitFor([&] { return !model->recovering() && model->connected(); }));
    EXPECT_EQ(writesTo(sim->requests(), 18), 0u);
}

TEST_F(PowerModelTest, DestroyingTheModelWithARequestInFlightClosesOrAnswersIt) {
    start();
    ASSERT_TRUE(waitFor([&] { return model->httpPort() != 0; }));
    // The request's hop to the GUI thread may be queued when the model goes; a hang or
    // a crash is the failure.
    auto reply = send("GET", "/v1/status");
    model.reset();
    const auto answered = reply.get();
    if (answered.status != 0) {
        EXPECT_EQ(answered.body, (Json{{"ok", false}, {"error", "application_unavailable"}}));
    }
}

}  // namespace
}  // namespace varek::test
