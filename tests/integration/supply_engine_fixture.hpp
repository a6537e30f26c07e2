#pragma once

// One supply engine hosted as varek-server hosts it, in this process: a simulated
// supply on a real pty, the engine's API behind a ControlServer and its SCPI
// instruments behind an SCPIServer, both on loopback port 0, and the lines the
// program would write to standard error (audit and link lines) collected.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_client.hpp"
#include "server_policy.hpp"
#include "temp_dir.hpp"
#include "varek/api_bodies.hpp"
#include "varek/control_server.hpp"
#include "varek/protocol.hpp"
#include "varek/scpi_server.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek/supply_api.hpp"
#include "varek/supply_engine.hpp"
#include "varek_test_support.hpp"

namespace varek::test {

using namespace std::chrono_literals;

/// The setpoint write varek-server sends for `volts` / `amps` in hundredths.
inline Bytes setpointsFrame(std::uint16_t volts, std::uint16_t amps) {
    const std::uint16_t values[] = {volts, amps};
    return Modbus::multiple(1, Register::voltageSet, values);
}
inline Bytes outputFrame(bool on) { return Modbus::write(1, Register::output, on ? 1 : 0); }

class SupplyEngineTest : public testing::Test {
protected:
    void SetUp() override {
        identity = engine.session().connect(port(), 115200, 1);
        engine.serve(identity);
        api = std::make_unique<SupplyApi>(engine, serverPolicy(engine, identity));
        http = std::make_unique<ControlServer>(
            0, [this](const ControlHTTPRequest& request, ControlResponder responder) {
                api->handle(request, std::move(responder));
            },
            support.path());
        ASSERT_EQ(firstListenerEvent([this](ListenerCallback events) { http->start(std::move(events)); }).kind,
                  ListenerEvent::Kind::listening);
        scpi = std::make_unique<SCPIServer>(0, engine.instruments(), engine.dispatch());
        ASSERT_EQ(firstListenerEvent([this](ListenerCallback events) { scpi->start(std::move(events)); }).kind,
                  ListenerEvent::Kind::listening);
        sim.clearRequests();
    }
    // varek-server's order: listeners first, then the engine (no write after it).
    void TearDown() override {
        sim.onRequest({});
        engine.closeSequences();
        if (http) http->stop();
        if (scpi) scpi->stop();
        engine.close();
    }

    /// The path the engine opens.
    virtual std::string port() { return sim.path(); }

    ApiReply request(const std::string& method, const std::string& path, const std::string& body = {}) {
        return apiExchange(http->boundPort(), method, path, http->token(), body);
    }
    /// Sends `lines` on a new SCPI connection and returns the first `replies` reply lines.
    std::vector<std::string> scpiExchange(const std::string& lines, std::size_t replies = 1) {
        LoopbackClient client(scpi->boundPort());
        client.send(lines);
        std::vector<std::string> got;
        while (got.size() < replies) got.push_back(client.readLine());
        return got;
    }

    /// The collected lines starting with `prefix`, in order.
    std::vector<std::string> lines(std::string_view prefix = {}) {
        std::lock_guard lock(mutex);
        std::vector<std::string> found;
        for (const auto& line : collected) {
            if (line.starts_with(prefix)) found.push_back(line);
        }
        return found;
    }
    /// The audit lines without "Audit", their time and their client: "HTTP output on: confirmed".
    std::vector<std::string> audits() {
        std::vector<std::string> subjects;
        for (const auto& line : lines("Audit ")) {
            const auto channel = line.find(' ', 6) + 1;
            const auto asked = line.find(' ', line.find(' ', channel) + 1);
            subjects.push_back(line.substr(channel, line.find(' ', channel) - channel) + line.substr(asked));
        }
        return subjects;
    }
    /// True once a collected line starts with `prefix`.
    bool seen(std::string_view prefix) { return !lines(prefix).empty(); }

    std::mutex mutex;
    std::vector<std::string> collected;  // guarded by mutex
    SupplyEngine::Events events() {
        const auto keep = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            collected.push_back(line);
        };
        return {keep, keep, {}, {}, {}};
    }

    sim::SupplySimulator sim;
    TempDir support;
    SupplyEngine engine{events()};
    DeviceIdentity identity;
    std::unique_ptr<SupplyApi> api;
    std::unique_ptr<ControlServer> http;
    std::unique_ptr<SCPIServer> scpi;
};

}  // namespace varek::test
