// SupplyEngine and SupplyApi as varek-server hosts them, in this process: the write
// routes' bodies and confirmation rules, output merging, ceilings and the identity
// guard on every channel, sequences through the engine, late writes and the audit
// lines. (How a sequence runs step by step: sequence_runner_test.)
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>

#include "supply_engine_fixture.hpp"
#include "varek/format.hpp"

namespace varek::test {
namespace {

using testing::MatchesRegex;

const std::string readbackText = "电源读回值与请求不一致，请检查面板。";
const std::string timeoutText = "电源未响应，请检查接口模式、波特率和站号。";
const Json readbackFailure = {
    {"ok", false}, {"verified", false}, {"error", "device_confirmation_failed"}, {"message", readbackText}};
const Json noSequenceBody = {{"ok", false}, {"error", "no_sequence"}};

Json invalid(const std::string& message) { return {{"ok", false}, {"error", "invalid_request"}, {"message", message}}; }

std::uint16_t voltsOf(const Bytes& setpoints) { return static_cast<std::uint16_t>(setpoints[7] << 8 | setpoints[8]); }

std::string profile(const std::string& name, const std::string& onEnd, const std::string& steps) {
    return R"({"name":")" + name + R"(","on_end":")" + onEnd + R"(","steps":[)" + steps + "]}";
}

TEST_F(SupplyEngineTest, OutputSwitchesAreConfirmedByReadBackAndAudited) {
    const struct {
        const char* name;
        bool on;
        std::function<void()> fault;
        std::uint16_t output;  // register 18 afterwards
    } cases[] = {
        {"on", true, {}, 1},
        {"off", false, {}, 0},
        {"register 18 does not follow", true, [&] { sim.setOutputStuck(true); }, 0},
        // Register 18 reads back on; then the panel switches off before the status read.
        {"the status block disagrees", true,
         [&] { sim.onRequest([&](const Bytes& f) { if (f == statusRead) sim.setReg(Register::output, 0); }); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.fault) c.fault();
        const auto reply = request("POST", c.on ? "/v1/output/on" : "/v1/output/off");
        if (c.fault) {
            EXPECT_EQ(reply.status, 502);
            EXPECT_EQ(reply.body, readbackFailure);
        } else {
            EXPECT_EQ(reply.status, 200);
            EXPECT_EQ(reply.body.size(), 10u);  // varek-server's status body
            EXPECT_EQ(reply.body["verified"], true);
            EXPECT_EQ(reply.body["output_enabled"], c.on);
        }
        EXPECT_EQ(sim.reg(Register::output), c.output);
        sim.setOutputStuck(false);
        sim.onRequest({});
    }
    const std::string unconfirmed = "HTTP output on: not confirmed (" + readbackText + ")";
    EXPECT_EQ(audits(), (std::vector<std::string>{"HTTP output on: confirmed", "HTTP output off: confirmed", unconfirmed,
                                                  unconfirmed}));
    EXPECT_THAT(lines("Audit ").front(), MatchesRegex("Audit [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                                      "\\.[0-9]{3}Z HTTP 127\\.0\\.0\\.1:[0-9]+ output on: confirmed"));
}

TEST_F(SupplyEngineTest, SimultaneousSameStateRequestsShareOneWrite) {
    std::atomic<bool> release{false};
    sim.onRequest([&](const Bytes& f) {
        if (f == outputFrame(true)) waitUntil([&] { return release.load(); }, 1800ms);  // inside the 2 s deadline
    });
    auto first = std::async(std::launch::async, [&] { return request("POST", "/v1/output/on"); });
    ASSERT_TRUE(sim.waitForRequests(1, 20s));
    auto second = std::async(std::launch::async, [&] { return request("POST", "/v1/output/on"); });
    ASSERT_TRUE(waitUntil([&] { return engine.outputs().pending() == 2; }));
    release = true;
    const ApiReply a = first.get(), b = second.get();
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body, b.body);
    EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{outputFrame(true)});
    EXPECT_EQ(audits().size(), 1u);
}

TEST_F(SupplyEngineTest, SetpointsAreWrittenAsAskedOrRefusedWithoutAFrame) {
    const struct {
        const char* body;
        int status;
        std::uint16_t volts, amps;  // registers 8 and 9 afterwards
    } cases[] = {
        {R"({"voltage_V":12.5,"current_limit_A":2})", 200, 1250, 200},
        {R"({"voltage_V":7})", 200, 700, 200},
        {R"({"current_limit_A":0.5})", 200, 700, 50},
        {R"({"voltage_V":60.01})", 400, 700, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        sim.clearRequests();
        const auto reply = request("POST", "/v1/setpoints", c.body);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(sim.reg(Register::voltageSet), c.volts);
        EXPECT_EQ(sim.reg(Register::currentSet), c.amps);
        if (c.status != 200) {
            EXPECT_EQ(reply.body["error"], "invalid_request");
            EXPECT_EQ(sim.requests(), std::vector<Bytes>{});
            continue;
        }
        EXPECT_EQ(reply.body.size(), 12u);  // the status body and both setpoints
        EXPECT_EQ(reply.body["verified"], true);
        EXPECT_EQ(reply.body["voltage_set_V"], c.volts / 100.0);
        EXPECT_EQ(reply.body["current_limit_A"], c.amps / 100.0);
    }
    sim.setSetpointsStuck(true);
    const auto stuck = request("POST", "/v1/setpoints", R"({"voltage_V":33.33})");
    EXPECT_EQ(stuck.status, 502);
    EXPECT_EQ(stuck.body, readbackFailure);
    EXPECT_EQ(audits(), (std::vector<std::string>{"HTTP setpoints 12.50 V 2.00 A: confirmed",
                                                  "HTTP setpoints 7.00 V: confirmed", "HTTP setpoints 0.50 A: confirmed",
                                                  "HTTP setpoints 33.33 V: not confirmed (" + readbackText + ")"}));
}

TEST_F(SupplyEngineTest, CeilingsRefuseOnEveryChannelBeforeAnyFrame) {
    engine.setCeilings({1200, 500});
    sim.setReg(Register::voltageSet, 3000);  // 30 V, set on the supply's own panel
    const std::string exceeds = "voltage_V exceeds the ceiling of 12.00 V";
    const struct {
        const char* path;
        std::string body, message;
    } refused[] = {
        {"/v1/setpoints", R"({"voltage_V":13})", exceeds},
        {"/v1/sequence", profile("t", "keep", R"({"voltage_V":13,"hold_s":1})"), "step 1: " + exceeds},
        {"/v1/setpoints", R"({"current_limit_A":1})",
         "the supply's present voltage setpoint 30.00 V is above the ceiling of 12.00 V; set it as well"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.body);
        const auto reply = request("POST", c.path, c.body);
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body, invalid(c.message));
    }
    for (const char* line : {"VOLT 13\nSYST:ERR?\n", "CURR 1\nSYST:ERR?\n", "APPL 5,6\nSYST:ERR?\n"}) {
        EXPECT_EQ(scpiExchange(line), std::vector<std::string>{"-222,\"Data out of range\"\n"}) << line;
    }
    EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{});
    EXPECT_EQ(audits(), std::vector<std::string>{}) << "nothing was written, so nothing is accounted for";

    // A ramp down from the panel's 30 V starts at the ceiling.
    ASSERT_EQ(request("POST", "/v1/sequence", profile("down", "keep", R"({"voltage_V":10,"ramp_s":1})")).status, 202);
    ASSERT_TRUE(waitUntil([&] { return request("GET", "/v1/sequence").body["state"] == "finished"; }));
    const auto ramp = writesAmong(sim.requests());
    ASSERT_FALSE(ramp.empty());
    for (const Bytes& write : ramp) EXPECT_LE(voltsOf(write), 1180);
    EXPECT_EQ(voltsOf(ramp.back()), 1000);
}

TEST_F(SupplyEngineTest, ASequenceWritesItsStepsInOrderAndIsAuditedAsItsStarters) {
    EXPECT_EQ(request("GET", "/v1/sequence").body, noSequenceBody);
    EXPECT_EQ(request("POST", "/v1/sequence/stop").body, noSequenceBody);
    const auto refused = request("POST", "/v1/sequence",
                                 profile("x", "off", R"({"voltage_V":3,"output":true},{"hold_s":1},{"current_limit_A":31})"));
    EXPECT_EQ(refused.body, invalid("step 3: current_limit_A must be a number from 0 to 30 with at most two decimals"));
    EXPECT_EQ(sim.requests(), std::vector<Bytes>{});
    EXPECT_EQ(request("GET", "/v1/sequence").status, 404);

    const auto started = request("POST", "/v1/sequence",
                                 profile("three", "off",
                                         R"({"voltage_V":10,"current_limit_A":2,"output":true,"hold_s":0.2},)"
                                         R"({"voltage_V":15,"ramp_s":0.5,"hold_s":0.3},{"current_limit_A":1.5,"hold_s":0.1})"));
    EXPECT_EQ(started.status, 202);
    EXPECT_EQ(started.body["state"], "running");
    EXPECT_EQ(started.body["steps"], 3);
    EXPECT_EQ(request("POST", "/v1/sequence", profile("again", "off", R"({"hold_s":1})")).body,
              (Json{{"ok", false}, {"error", "sequence_running"}, {"name", "three"}}));
    Json end;
    ASSERT_TRUE(waitUntil([&] { return (end = request("GET", "/v1/sequence").body)["state"] != "running"; }));
    EXPECT_EQ(end["state"], "finished");
    EXPECT_EQ(end["step"], 3);
    EXPECT_FALSE(end.contains("reason"));
    EXPECT_EQ(writesAmong(sim.requests()),
              (std::vector<Bytes>{setpointsFrame(1000, 200), outputFrame(true), setpointsFrame(1100, 200),
                                  setpointsFrame(1200, 200), setpointsFrame(1300, 200), setpointsFrame(1400, 200),
                                  setpointsFrame(1500, 200), setpointsFrame(1500, 150), outputFrame(false)}));
    EXPECT_EQ(audits(), (std::vector<std::string>{"HTTP sequence \"three\" step 1 of 3: confirmed",
                                                  "HTTP sequence \"three\" step 2 of 3: confirmed",
                                                  "HTTP sequence \"three\" step 3 of 3: confirmed",
                                                  "HTTP sequence \"three\" finished: confirmed"}));
}

TEST_F(SupplyEngineTest, SilenceAbortsARunAndNothingIsWrittenBeforeTheSupplyProvesItself) {
    ASSERT_EQ(request("POST", "/v1/sequence",
                      profile("silent", "off", R"({"output":true,"hold_s":600,"until":{"current_above_A":29}})"))
                  .status,
              202);
    ASSERT_TRUE(waitUntil([&] { return sim.reg(Register::output) == 1; }));
    sim.setSilent(true);
    sim.clearRequests();
    // After a timeout the supply must prove its identity first: the attempts to switch
    // off are identity reads, unanswered.
    ASSERT_TRUE(waitUntil([&] { return std::ranges::count(sim.requests(), identityRead) >= 1; }, 60s));
    EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{});
    EXPECT_EQ(request("GET", "/v1/sequence").body["state"], "running");
    sim.setSilent(false);
    Json end;
    ASSERT_TRUE(waitUntil([&] { return (end = request("GET", "/v1/sequence").body)["state"] != "running"; }, 60s));
    EXPECT_EQ(end["state"], "aborted");
    EXPECT_EQ(end["reason"], timeoutText);
    EXPECT_EQ(sim.reg(Register::output), 0);
}

TEST_F(SupplyEngineTest, AClientChangeDuringARampIsNeverPutBack) {
    const struct {
        const char *ramped, *other;
        double change;
        std::uint16_t reg;
    } cases[] = {{"voltage_V", "current_limit_A", 2.5, Register::currentSet},
                 {"current_limit_A", "voltage_V", 9.5, Register::voltageSet}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ramped);
        sim.setReg(Register::voltageSet, 500);
        sim.setReg(Register::currentSet, 100);
        sim.clearRequests();
        const std::string ramp = profile("ramp", "keep", std::string(R"({")") + c.ramped + R"(":4,"ramp_s":3})");
        ASSERT_EQ(request("POST", "/v1/sequence", ramp).status, 202);
        ASSERT_TRUE(waitUntil([&] { return writesAmong(sim.requests()).size() >= 3; }));
        const auto change = request("POST", "/v1/setpoints", "{\"" + std::string(c.other) + "\":" + formatShortest(c.change) + "}");
        ASSERT_EQ(change.status, 200);
        sim.clearRequests();
        ASSERT_TRUE(waitUntil([&] { return request("GET", "/v1/sequence").body["state"] == "finished"; }, 60s));
        const auto centi = static_cast<std::uint16_t>(std::lround(c.change * 100));
        EXPECT_EQ(sim.reg(c.reg), centi);
        for (const Bytes& write : writesAmong(sim.requests())) {
            const std::size_t at = c.reg == Register::voltageSet ? 7 : 9;
            EXPECT_EQ(write[at] << 8 | write[at + 1], centi);
        }
    }
}

TEST_F(SupplyEngineTest, ASwappedSupplyReceivesNoWriteOnAnyChannel) {
    engine.supervise({sim.path(), 115200, 1, identity});
    const struct {
        const char* channel;
        std::function<std::string()> attempt;
        std::string refused;
    } attempts[] = {
        {"HTTP output", [&] { return std::to_string(request("POST", "/v1/output/on").status); }, "502"},
        {"HTTP setpoints", [&] { return std::to_string(request("POST", "/v1/setpoints", R"({"voltage_V":7})").status); },
         "502"},
        {"SCPI", [&] { return scpiExchange("VOLT 7\nSYST:ERR?\n").front(); }, "-200,\"Device operation failed\"\n"},
    };
    for (const bool polling : {false, true}) {
        if (polling) engine.feed().poll(10);
        for (const auto& a : attempts) {
            SCOPED_TRACE(std::string(a.channel) + (polling ? ", polling" : ""));
            sim.clearRequests();
            sim.setSerial(777);  // behind an adapter that stayed plugged in, answering at once
            const auto swapped = std::chrono::steady_clock::now();
            ASSERT_TRUE(waitUntil([&] { return std::chrono::steady_clock::now() - swapped > 3050ms; }));
            EXPECT_EQ(a.attempt(), a.refused);
            EXPECT_EQ(writesAmong(sim.requests()), std::vector<Bytes>{}) << "nothing written to serial 777";
            EXPECT_GE(std::ranges::count(sim.requests(), identityRead), 1);
            ASSERT_TRUE(waitUntil([&] { return engine.linkState().kind == LinkSupervisor::State::Kind::refused; }));
            sim.setSerial(12345);
            ASSERT_TRUE(waitUntil([&] { return request("GET", "/v1/status").status == 200; }));
            EXPECT_EQ(request("POST", "/v1/output/off").status, 200) << "the right supply is written again";
        }
    }
    EXPECT_TRUE(seen("Link refused: found serial 777 (model 60301), expected serial 12345"));
}

TEST_F(SupplyEngineTest, WritesReadTheIdentityAtMostOncePerThreeSeconds) {
    const auto began = std::chrono::steady_clock::now();
    for (int volts = 1; volts <= 8; ++volts) {
        ASSERT_EQ(request("POST", "/v1/setpoints", "{\"voltage_V\":" + std::to_string(volts) + "}").status, 200);
    }
    const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_LE(std::ranges::count(sim.requests(), identityRead), 1 + static_cast<long>(elapsed / 3));
}

TEST_F(SupplyEngineTest, ATimedOutWriteThatTookEffectGetsASecondAuditLine) {
    for (const bool late : {true, false}) {
        SCOPED_TRACE(late ? "reply too late" : "never arrived");
        // A write just before proves the identity for 3 s: the next write's own frame goes out.
        ASSERT_EQ(request("POST", "/v1/setpoints", R"({"voltage_V":1})").status, 200);
        late ? sim.setLatency(2500ms) : sim.setSilent(true);
        const int volts = late ? 5 : 6;
        const auto reply = request("POST", "/v1/setpoints",
                                   "{\"voltage_V\":" + std::to_string(volts) + ",\"current_limit_A\":1}");
        EXPECT_EQ(reply.status, 502);
        EXPECT_EQ(reply.body, (Json{{"ok", false}, {"verified", false}, {"error", "device_confirmation_failed"},
                                    {"message", timeoutText}}));
        sim.setLatency(0ms);
        sim.setSilent(false);
        ASSERT_TRUE(waitUntil([&] { return request("GET", "/v1/status").status == 200; }));
        const std::string subject = "HTTP setpoints " + std::to_string(volts) + ".00 V 1.00 A: ";
        std::vector<std::string> expected{subject + "not confirmed (" + timeoutText + ")"};
        if (late) expected.push_back(subject + "took effect late");
        if (late) {
            ASSERT_TRUE(waitUntil([&] { return audits().back() == expected.back(); }));
        }
        auto all = audits();
        EXPECT_EQ(std::vector<std::string>(all.end() - static_cast<long>(expected.size()), all.end()), expected);
        EXPECT_EQ(sim.reg(Register::voltageSet) == volts * 100, late);
    }
}

TEST_F(SupplyEngineTest, SCPIWritesAreAuditedWithTheirClient) {
    LoopbackClient client(scpi->boundPort());
    client.send("VOLT 3\nVOLT 61\n*OPC?\n");
    EXPECT_EQ(client.readLine(), "1\n");
    sim.setOutputStuck(true);
    client.send("OUTP ON\n*OPC?\n");
    EXPECT_EQ(client.readLine(), "1\n");
    EXPECT_EQ(audits(), (std::vector<std::string>{"SCPI VOLT 3: confirmed",
                                                  "SCPI OUTP ON: not confirmed (" + readbackText + ")"}));
    EXPECT_THAT(lines("Audit ").front(), MatchesRegex("Audit [^ ]+ SCPI 127\\.0\\.0\\.1:[0-9]+ VOLT 3: confirmed"));
}

}  // namespace
}  // namespace varek::test
