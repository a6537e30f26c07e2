// The SCPI server over real loopback sockets, its instruments on a session to a
// simulated supply (or on one never connected, where device queries reply "nan").
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "loopback_client.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using test::LoopbackClient;
using namespace std::chrono_literals;

constexpr DeviceIdentity identity{DeviceIdentity::supportedModel, 12345, 1.23};

class SCPIServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ListenerEvent event =
            test::firstListenerEvent([this](ListenerCallback events) { server.start(std::move(events)); });
        port = server.boundPort();
        ASSERT_EQ(event, ListenerEvent::listeningOn(port));
    }

    SerialSession session;  // never connected unless a test connects it
    SCPIServer server{0, [this] { return std::make_unique<SCPIInstrument>(session, identity); }};
    std::uint16_t port = 0;
};

TEST_F(SCPIServerTest, AnswersLinesInOrderWhateverThePacketing) {
    LoopbackClient client(port);
    client.send("*IDN?\nSYST:VERS?\n");
    EXPECT_EQ(client.readLine(), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(client.readLine(), "1999.0\n");

    client.send("INST:NSEL?\r\n*OPC?\r\n");
    EXPECT_EQ(client.readLine(), "1\n");
    EXPECT_EQ(client.readLine(), "1\n");

    // Set-only lines send nothing, so the next reply is the query's; device and
    // non-device lines keep their order.
    client.send("INST:SEL 1\n\nVOLT 5\nINST:SEL?\nMEAS:VOLT?\nSYST:ERR?\nSYST:ERR?\n");
    EXPECT_EQ(client.readLine(), "CH1\n");
    EXPECT_EQ(client.readLine(), "nan\n");
    EXPECT_EQ(client.readLine(), "-200,\"Device operation failed\"\n");
    EXPECT_EQ(client.readLine(), "-200,\"Device operation failed\"\n");
}

TEST_F(SCPIServerTest, HalfClosedClientStillGetsEveryCompleteLine) {
    LoopbackClient client(port);
    client.send("*OPC?\nMEAS:VOLT?\nINST:SEL?\n*OPC?");  // the last line has no terminator
    client.shutdownSend();
    EXPECT_EQ(client.readAll(), "1\nnan\nCH1\n");
}

TEST_F(SCPIServerTest, InputItCannotServeClosesWithoutReply) {
    for (const std::string& bytes : {std::string("*OPC?\x80\n*OPC?\n"), std::string(9000, 'A'),
                                     "*OPC?" + std::string(8200, ' ') + "\n"}) {
        SCOPED_TRACE(bytes.size());
        LoopbackClient client(port);
        client.send(bytes);
        EXPECT_EQ(client.readAll(), "");
    }
}

TEST_F(SCPIServerTest, ProcessesLongLinesUpToTheLimit) {
    LoopbackClient client(port);
    client.send("*OPC?" + std::string(4096 - 5, ' ') + "\nSYST:VERS?\n");
    EXPECT_EQ(client.readLine(), "1\n");
    EXPECT_EQ(client.readLine(), "1999.0\n");
    client.send("*OPC?" + std::string(8192 - 5, ' ') + "\n");
    EXPECT_EQ(client.readLine(), "1\n");
}

TEST_F(SCPIServerTest, EachConnectionHasItsOwnErrorQueue) {
    LoopbackClient first(port);
    LoopbackClient second(port);
    first.send("FOO\n*OPC?\n");
    EXPECT_EQ(first.readLine(), "1\n");
    second.send("SYST:ERR?\n");
    EXPECT_EQ(second.readLine(), "0,\"No error\"\n");
    first.send("SYST:ERR?\n");
    EXPECT_EQ(first.readLine(), "-113,\"Undefined header\"\n");
}

TEST_F(SCPIServerTest, StopClosesClientsListenerAndLimitsConnections) {
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    // From as many addresses as it takes: one address holds only its share.
    for (std::size_t i = 0; i < SCPIServer::connectionLimit + 5; ++i) {
        clients.push_back(
            std::make_unique<LoopbackClient>(port, static_cast<std::uint8_t>(1 + i / SCPIServer::connectionsPerAddress)));
    }
    ASSERT_TRUE(test::waitUntil([&] { return server.connections() == SCPIServer::connectionLimit; }));
    EXPECT_TRUE(test::waitUntil([&] { return clients.back()->closed(); }));
    clients.front()->send("*OPC?\n");
    ASSERT_EQ(clients.front()->readLine(), "1\n");
    server.stop();
    EXPECT_EQ(clients.front()->readAll(), "");
    EXPECT_EQ(server.connections(), 0u);
    EXPECT_THROW(LoopbackClient{port}, std::system_error);
}

/// A silent supply holds device lines for a whole transaction deadline each.
class SilentSupplyTest : public SCPIServerTest {
protected:
    void SetUp() override {
        SCPIServerTest::SetUp();
        session.connect(simulator.path(), 115200, 1);
        simulator.clearRequests();
        simulator.setSilent(true);
    }
    sim::SupplySimulator simulator;
};

// No fixed pool of threads can be taken by clients waiting on the supply: a line that
// needs no device is answered while other clients' device lines wait.
TEST_F(SilentSupplyTest, LinesWithoutDeviceTrafficDoNotWaitBehindDeviceWork) {
    LoopbackClient first(port);
    LoopbackClient second(port);
    first.send("MEAS:VOLT?\n");
    second.send("MEAS:CURR?\n");
    ASSERT_TRUE(simulator.waitForRequests(1, 20s));
    LoopbackClient third(port);
    third.send("*IDN?\nSYST:ERR?\n");
    EXPECT_EQ(third.readLine(), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(third.readLine(), "0,\"No error\"\n");
    // The device lines still wait for the supply (2 s each) when the third client is served.
    EXPECT_FALSE(first.readable());
    EXPECT_FALSE(second.readable());
    EXPECT_EQ(first.readLine(), "nan\n");
    EXPECT_EQ(second.readLine(), "nan\n");
}

TEST_F(SilentSupplyTest, DeviceLinesOfAClientThatResetIsDropped) {
    LoopbackClient holder(port);
    holder.send("MEAS:VOLT?\n");
    ASSERT_TRUE(simulator.waitForRequests(1, 20s));
    const std::uint16_t voltageBefore = simulator.reg(Register::voltageSet);
    {
        LoopbackClient leaving(port);
        leaving.send("VOLT 7\nMEAS:VOLT?\n");
        ASSERT_TRUE(test::waitUntil([&] { return server.connections() == 2; }));
        leaving.reset();
    }
    ASSERT_TRUE(test::waitUntil([&] { return server.connections() == 1; }));
    EXPECT_EQ(holder.readLine(), "nan\n");
    simulator.setSilent(false);
    holder.send("MEAS:CURR?\n");
    EXPECT_EQ(holder.readLine(), "0.00\n");
    // Two reads reached the supply; the reset client's write and read never did.
    EXPECT_EQ(simulator.requestCount(), 2u);
    EXPECT_EQ(simulator.reg(Register::voltageSet), voltageBefore);
}

}  // namespace
}  // namespace varek
