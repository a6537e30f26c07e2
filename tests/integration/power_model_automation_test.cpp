// The application's automation: setpoints and full readings over loopback HTTP,
// ceilings, presets applied with read-back, and sequences on the session thread.
#include "power_model_fixture.hpp"

namespace varek::test {
namespace {

using State = SequenceProgress::State;

TEST_F(PowerModelTest, SetpointsAreCheckedWrittenOnceAndConfirmed) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    connectModel();
    sim->clearRequests();
    EXPECT_EQ(request("POST", "/v1/setpoints", R"({"voltage_V":5.123})").status, 400);
    EXPECT_EQ(writesTo(sim->requests(), 8), 0u);

    const auto accepted = request("POST", "/v1/setpoints", R"({"voltage_V":7.5})");
    ASSERT_EQ(accepted.status, 200) << accepted.body.dump();
    EXPECT_EQ(accepted.body["verified"], true);
    EXPECT_EQ(accepted.body["voltage_set_V"], 7.5);
    EXPECT_EQ(accepted.body["connected"], true);  // the application's own status keys
    EXPECT_EQ(sim->reg(8), 750);
    EXPECT_EQ(model->voltageDraft(), QStringLiteral("7.50"));  // the fields show the supply
    EXPECT_EQ(lastLog(), "API设定 7.50V / " + model->currentDraft().toStdString() + "A 已读回确认。");

    // The ceilings hold for the API and for the apply button alike.
    model->setCeilings({1000, 3000});
    EXPECT_EQ(request("POST", "/v1/setpoints", R"({"voltage_V":13})").status, 400);
    model->setVoltageDraft(QStringLiteral("13"));
    model->applyValues();
    ASSERT_TRUE(model->errorMessage());
    EXPECT_EQ(model->errorMessage()->toStdString(), "电压设定超过安全上限 10.00 V。");
    EXPECT_EQ(sim->reg(8), 750);

    EXPECT_EQ(writesTo(sim->requests(), 8), 1u);
}

TEST_F(PowerModelTest, SampleIs503WithoutASupply) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    EXPECT_EQ(request("GET", "/v1/sample").status, 503);
    connectModel();
    const auto reply = request("GET", "/v1/sample");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body.size(), 20u);
    EXPECT_EQ(reply.body["serial"], 12345);
    EXPECT_EQ(reply.body["voltage_set_V"], sim->reg(8) / 100.0);
    model->disconnect();
    EXPECT_EQ(request("GET", "/v1/sample").body["error"], "power_supply_unavailable");
}

TEST_F(PowerModelTest, PresetsAreKeptRenamedDeletedAndRecalledThroughReadBack) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    connectModel();
    model->setVoltageDraft(QStringLiteral("5.00"));
    model->setCurrentDraft(QStringLiteral("0.50"));
    ASSERT_TRUE(model->savePreset(QStringLiteral(" 电池 ")));
    model->setVoltageDraft(QStringLiteral("3.30"));
    ASSERT_TRUE(model->savePreset(QStringLiteral("逻辑")));
    EXPECT_FALSE(model->savePreset(QStringLiteral("  ")));
    EXPECT_FALSE(model->renamePreset(QStringLiteral("逻辑"), QStringLiteral("电池")));  // taken
    EXPECT_FALSE(model->renamePreset(QStringLiteral("无"), QStringLiteral("新")));
    ASSERT_TRUE(model->renamePreset(QStringLiteral("逻辑"), QStringLiteral("逻辑 3V3")));

    // A new run finds them in the preferences.
    model.reset();
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    using Preset = PowerModel::Preset;
    EXPECT_EQ(model->presets(), (std::vector<Preset>{{QStringLiteral("电池"), 500, 50},
                                                     {QStringLiteral("逻辑 3V3"), 330, 50}}));
    connectModel();
    model->recallPreset(QStringLiteral("电池"));
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    EXPECT_EQ(sim->reg(8), 500);
    EXPECT_EQ(sim->reg(9), 50);
    EXPECT_EQ(lastLog(), "设定 5.00V / 0.50A 已读回确认。");
    EXPECT_EQ(model->latest()->voltageSet, 5.0);

    model->deletePreset(QStringLiteral("电池"));
    EXPECT_EQ(model->presets(), (std::vector<Preset>{{QStringLiteral("逻辑 3V3"), 330, 50}}));
    model->setCeilings({300, 3000});  // a preset above the ceilings is refused with nothing written
    sim->clearRequests();
    model->recallPreset(QStringLiteral("逻辑 3V3"));
    EXPECT_TRUE(model->errorMessage());
    EXPECT_EQ(writesTo(sim->requests(), 8), 0u);
}

TEST_F(PowerModelTest, SequencesRunOverTheApiAndADisconnectAbortsWithoutAWrite) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    EXPECT_EQ(request("GET", "/v1/sequence").body["error"], "no_sequence");
    connectModel();
    const auto started = request("POST", "/v1/sequence",
                                 R"({"name":"两步","on_end":"keep","steps":[{"voltage_V":3,"hold_s":0.1},{"voltage_V":4}]})");
    ASSERT_EQ(started.status, 202) << started.body.dump();
    ASSERT_TRUE(waitFor([&] { return model->sequenceProgress() && model->sequenceProgress()->state == State::finished; }));
    EXPECT_EQ(sim->reg(8), 400);
    EXPECT_EQ(request("GET", "/v1/sequence").body["state"], "finished");
    EXPECT_TRUE(logged(QStringLiteral("序列「两步」第 2/2 步开始。")));
    EXPECT_EQ(lastLog(), "序列「两步」已完成。");

    ASSERT_EQ(request("POST", "/v1/sequence", R"({"name":"久","on_end":"keep","steps":[{"voltage_V":5,"hold_s":600}]})").status, 202);
    ASSERT_TRUE(waitFor([&] { return sim->reg(8) == 500; }));
    sim->clearRequests();
    model->disconnect();
    ASSERT_TRUE(waitFor([&] { return model->sequenceProgress()->state == State::aborted && !model->busy(); }));
    EXPECT_EQ(writesTo(sim->requests(), 8) + writesTo(sim->requests(), 18), 0u);
}

}  // namespace
}  // namespace varek::test
