// The SCPI server over real loopback sockets, its instruments on a session to a
// simulated supply (or on one never connected, where device queries reply "nan"),
// and the bare instrument's values and failures on that session.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback_client.hpp"
#include "varek/protocol.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using test::LoopbackClient;
using test::statusRead;
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

    /// Ceilings read per command, as the desktop's can change; audits kept per write.
    std::unique_ptr<SCPIInstrument> makeInstrument() {
        auto instrument = std::make_unique<SCPIInstrument>(session, identity, [this] {
            std::lock_guard lock(ceilingsMutex);
            return ceilings;
        });
        instrument->setAudit([this](const std::string& asked, bool confirmed, const std::string&) {
            std::lock_guard lock(auditMutex);
            audits.push_back(asked + (confirmed ? ": confirmed" : ": not confirmed"));
        });
        return instrument;
    }
    std::vector<std::string> auditTrail() {
        std::lock_guard lock(auditMutex);
        return audits;
    }

    void setCeilings(SafetyCeilings value) {
        std::lock_guard lock(ceilingsMutex);
        ceilings = value;
    }

    SerialSession session;  // never connected unless a test connects it
    std::mutex ceilingsMutex;  // a plain lock: an atomic of this 4-byte struct needs libatomic with clang
    SafetyCeilings ceilings;
    std::mutex auditMutex;
    std::vector<std::string> audits;
    SCPIServer server{0, [this] { return makeInstrument(); }};
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

/// The server's instruments on a session to the simulated supply (5.00 V, 1.00 A, off).
class SupplyServerTest : public SCPIServerTest {
protected:
    void SetUp() override {
        SCPIServerTest::SetUp();
        session.connect(simulator.path(), 115200, 1);
        simulator.clearRequests();
    }
    sim::SupplySimulator simulator;
};

const Bytes setpointRead = Modbus::read(1, Register::voltageSet, 2);
const Bytes outputRead = Modbus::read(1, Register::output, 1);
const Bytes outputOn = Modbus::write(1, Register::output, 1);
const Bytes outputOff = Modbus::write(1, Register::output, 0);

Bytes setpoints(std::uint16_t voltage, std::uint16_t current) {
    const std::uint16_t values[] = {voltage, current};
    return Modbus::multiple(1, Register::voltageSet, values);
}

// Each line through the server, then "*STB?;*ESR?;SYST:ERR?": the frames the supply
// received show which commands write (status, MIN/MAX queries and refusals: none).
TEST_F(SupplyServerTest, CommandsSendOnlyTheFramesTheyNeed) {
    setCeilings(SafetyCeilings{1200, 500});
    const char* const ok = "0;0;0,\"No error\"";
    const std::vector<Bytes> sampled{statusRead};
    const struct {
        const char* line;
        const char* reply;  // nullptr: the line answers nothing
        std::vector<Bytes> frames;
        const char* status;
    } cases[] = {
        {"*RST;*CLS", nullptr, {outputOff, outputRead, statusRead}, ok},
        {"*ESE 60;*SRE 48;*ESE?;*SRE?;*STB?;*TST?;*IDN?", "60;48;0;0;RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23",
         {}, ok},
        {"SYST:REM;*OPC;*OPC?", "1", {}, "0;1;0,\"No error\""},  // bit 0 is not enabled
        {"VOLT? MAX;CURR? MAX;VOLT? MIN,(@1);CURR? MINimum", "12.00;5.00;0.00;0.00", {}, ok},
        {"VOLT MAX,(@1)", nullptr, {setpointRead, setpoints(1200, 100), setpointRead, statusRead}, ok},
        {"CURR MIN", nullptr, {setpointRead, setpoints(1200, 0), setpointRead, statusRead}, ok},
        {"APPL CH1,5,MAX", nullptr, {setpoints(500, 500), setpointRead, statusRead}, ok},
        {"OUTP ON,(@1)", nullptr, {outputOn, outputRead, statusRead}, ok},
        {"VOLT? (@1);CURR? CH1;OUTP? OUT1;APPL? ch1", "5.00;5.00;1;5.00,5.00", std::vector<Bytes>(4, statusRead), ok},
        {"INST:NSEL OUT1;INST:SEL (@1);SYST:LOC", nullptr, {}, ok},
        // *RST: one switch-off confirmed by read-back; the setpoints stay.
        {"*RST", nullptr, {outputOff, outputRead, statusRead}, ok},
        {"APPL?", "5.00,5.00", sampled, ok},
        {"VOLT 6,(@2)", nullptr, {}, "100;16;-222,\"Only channel 1 is available\""},
        {"VOLT 12.01", nullptr, {}, "100;16;-222,\"Data out of range\""},
        {"FOO;*RST", nullptr, {outputOff, outputRead, statusRead}, "100;32;-113,\"Undefined header\""},
    };
    LoopbackClient client(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        simulator.clearRequests();
        client.send(std::string(c.line) + "\n*STB?;*ESR?;SYST:ERR?\n");
        if (c.reply) {
            EXPECT_EQ(client.readLine(), std::string(c.reply) + "\n");
        }
        EXPECT_EQ(client.readLine(), std::string(c.status) + "\n");
        EXPECT_EQ(simulator.requests(), c.frames);
    }
    const std::vector<std::string> writes{
        "*RST (output off): confirmed", "VOLT MAX,(@1): confirmed", "CURR MIN: confirmed",
        "APPL CH1,5,MAX: confirmed",    "OUTP ON,(@1): confirmed",  "*RST (output off): confirmed",
        "*RST (output off): confirmed"};
    EXPECT_EQ(auditTrail(), writes);

    // Ceilings changed while the connection lasts are the range from then on.
    setCeilings(SafetyCeilings{2000, 1000});
    client.send("VOLT? MAX;CURR? MAX\nVOLT 15;VOLT?\n");
    EXPECT_EQ(client.readLine(), "20.00;10.00\n");
    EXPECT_EQ(client.readLine(), "15.00\n");
}

/// A silent supply holds device lines for a whole transaction deadline each.
class SilentSupplyTest : public SupplyServerTest {
protected:
    void SetUp() override {
        SupplyServerTest::SetUp();
        simulator.setSilent(true);
    }
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
    third.send("*IDN?\nSYST:ERR?\n*ESR?;*STB?;VOLT? MAX\n");
    EXPECT_EQ(third.readLine(), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(third.readLine(), "0,\"No error\"\n");
    EXPECT_EQ(third.readLine(), "0;0;60.00\n");
    // The device lines still wait for the supply (2 s each) when the third client is served.
    EXPECT_FALSE(first.readable());
    EXPECT_FALSE(second.readable());
    EXPECT_EQ(first.readLine(), "nan\n");
    EXPECT_EQ(second.readLine(), "nan\n");
}

TEST_F(SilentSupplyTest, ResetWithoutAnAnswerIsATimeoutAndNotConfirmed) {
    LoopbackClient client(port);
    client.send("*RST\n*ESR?;SYST:ERR?\n");
    EXPECT_EQ(client.readLine(), "16;-200,\"Device timed out\"\n");
    EXPECT_EQ(simulator.requests(), std::vector<Bytes>{outputOff});
    EXPECT_EQ(auditTrail(), std::vector<std::string>{"*RST (output off): not confirmed"});
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

// The bare instrument on the same session: what queries report, and how device
// failures fill the error queue.
TEST_F(SupplyServerTest, InstrumentQueriesReadTheSupplyEachTime) {
    SCPIInstrument instrument{session, identity};
    EXPECT_EQ(instrument.process("VOLT 12.5;CURR 2;OUTP ON"), std::nullopt);
    simulator.clearRequests();
    // 12.5 V into the 10-ohm load draws 1.25 A, below the 2 A limit.
    EXPECT_EQ(instrument.process("VOLT?;CURR?;OUTP?;APPL?"), "12.50;2.00;1;12.50,2.00\n");
    EXPECT_EQ(instrument.process("MEAS:VOLT?;MEAS:CURR:DC?;meas:pow?"), "12.50;1.25;15.63\n");
    EXPECT_EQ(simulator.requests(), std::vector<Bytes>(7, statusRead));
    instrument.process("OUTP 0;VOLT 30");
    EXPECT_EQ(instrument.process("MEAS:VOLT?;VOLT?;OUTP:STAT?"), "0.00;30.00;0\n");
    EXPECT_TRUE(instrument.errors().empty());
}

TEST_F(SupplyServerTest, InstrumentFailuresKeepNanSlotsAndOverflowAfterNineteen) {
    SCPIInstrument instrument{session, identity};
    simulator.setExceptionCode(4);
    EXPECT_EQ(instrument.process("VOLT?;*OPC?;MEAS:CURR?;SYST:VERS?"), "nan;1;nan;1999.0\n");
    EXPECT_EQ(instrument.process("SYST:ERR?;SYST:ERR?"),
              "-200,\"Device operation failed\";-200,\"Device operation failed\"\n");
    for (int i = 0; i < 10; ++i) instrument.process("VOLT 99");
    for (int i = 0; i < 15; ++i) instrument.process(i % 2 ? "MEAS:VOLT?" : "OUTP ON");
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(instrument.process("SYST:ERR?"),
                  i < 10 ? "-222,\"Data out of range\"\n" : "-200,\"Device operation failed\"\n") << i;
    }
    EXPECT_EQ(instrument.process("SYST:ERR?"), "-350,\"Queue overflow\"\n");
    EXPECT_EQ(instrument.process("SYST:ERR?"), "0,\"No error\"\n");
}

TEST(InstrumentDeviceFailures, MapToTheirExecutionErrors) {
    const struct {
        std::function<void(sim::SupplySimulator&)> fault;
        const char* line;
        std::optional<std::string> reply;
        SCPIError error;
    } cases[] = {
        {[](auto& s) { s.setSilent(true); }, "MEAS:VOLT?", "nan\n", {-200, "Device timed out"}},
        {[](auto& s) { s.setOutputStuck(true); }, "OUTP ON", std::nullopt, {-200, "Readback mismatch"}},
        {[](auto& s) { s.hangUp(); }, "MEAS:CURR?", "nan\n", {-200, "Device operation failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        sim::SupplySimulator supply;
        SerialSession session;
        SCPIInstrument instrument(session, session.connect(supply.path(), 115200, 1));
        c.fault(supply);
        EXPECT_EQ(instrument.process(c.line), c.reply);
        EXPECT_EQ(instrument.process("SYST:ERR?"), std::to_string(c.error.code) + ",\"" + c.error.message + "\"\n");
    }
}

}  // namespace
}  // namespace varek
