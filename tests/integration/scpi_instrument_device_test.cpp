// The processor against a real SerialSession talking to the simulated supply
// over a pseudo-terminal: the frames each command sends, the values it reports,
// and how device failures land in the error queue.
#include <gtest/gtest.h>

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "varek/protocol.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek {
namespace {

const SCPIError deviceFailed{-200, "Device operation failed"};

Bytes multiple(std::uint16_t voltage, std::uint16_t current) {
    const std::uint16_t values[] = {voltage, current};
    return Modbus::multiple(1, Register::voltageSet, values);
}
const Bytes statusRead = Modbus::read(1, PowerSample::start, PowerSample::count);
const Bytes setpointRead = Modbus::read(1, Register::voltageSet, 2);
const Bytes outputRead = Modbus::read(1, Register::output, 1);

class InstrumentOnSupply : public ::testing::Test {
protected:
    void SetUp() override {
        identity = session.connect(supply.path(), 115200, 1);
        supply.clearRequests();
    }
    std::vector<SCPIError> queued() const {
        const auto entries = instrument->errors();
        return {entries.begin(), entries.end()};
    }

    sim::SupplySimulator supply{sim::SimulatorOptions{.serial = 12345, .firmwareHundredths = 123}};
    SerialSession session;
    DeviceIdentity identity;
    std::unique_ptr<SCPIInstrument> instrument =
        std::make_unique<SCPIInstrument>(session, DeviceIdentity{60301, 12345, 1.23});
};

TEST_F(InstrumentOnSupply, SetCommandsSendTheirFramesAndReplyNothing) {
    // The simulator starts at 5.00 V / 1.00 A with the output off.
    const struct {
        const char* line;
        std::vector<Bytes> frames;
    } cases[] = {
        {"VOLT 12.5", {setpointRead, multiple(1250, 100), setpointRead, statusRead}},
        {"source:current:level:immediate:amplitude 2A",
         {setpointRead, multiple(1250, 200), setpointRead, statusRead}},
        {"OUTP ON", {Modbus::write(1, Register::output, 1), outputRead, statusRead}},
        {"OUTP:STAT off", {Modbus::write(1, Register::output, 0), outputRead, statusRead}},
        {"APPL 5,1", {multiple(500, 100), setpointRead, statusRead}},
        {"*OPC;INST:NSEL 1;*CLS", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        supply.clearRequests();
        EXPECT_EQ(instrument->process(c.line), std::nullopt);
        EXPECT_EQ(supply.requests(), c.frames);
        EXPECT_TRUE(queued().empty());
    }
}

TEST_F(InstrumentOnSupply, RefusedParametersWriteNothing) {
    const char* lines[] = {"VOLT 60.01", "VOLT -1",   "VOLT 1.234", "VOLT MAX",  "VOLT 500MV",
                           "VOLT",       "VOLT V",    "CURR 30.01", "APPL 5",    "APPL ,1",
                           "APPL 61,1",  "APPL 5,31", "OUTP",       "OUTP 2",    "INST:NSEL 2",
                           "VOLT? 5",    "FOO? 1",    "*RST"};
    for (const char* line : lines) {
        instrument->process("*CLS");
        instrument->process(line);
        EXPECT_EQ(queued().size(), 1u) << line;
    }
    EXPECT_EQ(supply.requestCount(), 0u);
    EXPECT_EQ(supply.reg(Register::voltageSet), 500);
    EXPECT_EQ(supply.reg(Register::currentSet), 100);
}

TEST_F(InstrumentOnSupply, QueriesReadTheSupplyEachTime) {
    EXPECT_EQ(instrument->process("*idn?"), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(supply.requestCount(), 0u);  // the identity was read at connect time

    EXPECT_EQ(instrument->process("VOLT 12.5;CURR 2;OUTP ON"), std::nullopt);
    supply.clearRequests();
    // 12.5 V into the 10-ohm load draws 1.25 A, below the 2 A limit.
    EXPECT_EQ(instrument->process("VOLT?;CURR?;OUTP?"), "12.50;2.00;1\n");
    EXPECT_EQ(instrument->process("APPL?"), "12.50,2.00\n");
    EXPECT_EQ(instrument->process("MEAS:VOLT?;MEAS:CURR:DC?;meas:pow?"), "12.50;1.25;15.63\n");
    EXPECT_EQ(supply.requests(), std::vector<Bytes>(7, statusRead));

    instrument->process("OUTP 0;VOLT 30");
    EXPECT_EQ(instrument->process("MEAS:VOLT?;VOLT?;OUTP:STAT?"), "0.00;30.00;0\n");
    EXPECT_TRUE(queued().empty());
}

TEST_F(InstrumentOnSupply, FailedQueriesKeepTheirSlotAsNan) {
    supply.setExceptionCode(4);
    EXPECT_EQ(instrument->process("VOLT?;*OPC?;MEAS:CURR?;SYST:VERS?"), "nan;1;nan;1999.0\n");
    EXPECT_EQ(queued(), (std::vector<SCPIError>{deviceFailed, deviceFailed}));
}

TEST_F(InstrumentOnSupply, TwentyFiveFailuresLeaveNineteenAndAnOverflowMarker) {
    for (int i = 0; i < 10; ++i) instrument->process("VOLT 99");
    supply.setExceptionCode(4);
    for (int i = 0; i < 15; ++i) instrument->process(i % 2 ? "MEAS:VOLT?" : "OUTP ON");
    for (int i = 0; i < 19; ++i) {
        EXPECT_EQ(instrument->process("SYST:ERR?"),
                  i < 10 ? "-222,\"Data out of range\"\n" : "-200,\"Device operation failed\"\n")
            << i;
    }
    EXPECT_EQ(instrument->process("SYST:ERR?"), "-350,\"Queue overflow\"\n");
    EXPECT_EQ(instrument->process("SYST:ERR?"), "0,\"No error\"\n");
}

TEST(InstrumentDeviceFailures, MapToTheirExecutionErrors) {
    const struct {
        const char* name;
        std::function<void(sim::SupplySimulator&)> fault;
        const char* line;
        std::optional<std::string> reply;
        SCPIError error;
    } cases[] = {
        {"silent supply", [](auto& s) { s.setSilent(true); }, "MEAS:VOLT?", "nan\n",
         {-200, "Device timed out"}},
        {"output register stuck", [](auto& s) { s.setOutputStuck(true); }, "OUTP ON", std::nullopt,
         {-200, "Readback mismatch"}},
        {"hang-up", [](auto& s) { s.hangUp(); }, "MEAS:CURR?", "nan\n", deviceFailed},
        {"corrupted CRC", [](auto& s) { s.corruptNextCrc(1); }, "VOLT 5", std::nullopt, deviceFailed},
        {"exception reply", [](auto& s) { s.setExceptionCode(2); }, "APPL 5,1", std::nullopt,
         deviceFailed},
        {"serial changed", [](auto& s) { s.setSerial(999); }, "*IDN?",
         "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n", {0, "No error"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SupplySimulator supply;
        SerialSession session;
        SCPIInstrument instrument(session, session.connect(supply.path(), 115200, 1));
        c.fault(supply);
        EXPECT_EQ(instrument.process(c.line), c.reply);
        EXPECT_EQ(instrument.process("SYST:ERR?"),
                  std::to_string(c.error.code) + ",\"" + c.error.message + "\"\n");
    }
}

TEST_F(InstrumentOnSupply, StopBetweenCommandsEndsTheLineWithoutReply) {
    std::stop_source stop;
    // The first status read reaching the supply cancels the line: that command
    // still completes, the next one never starts.
    supply.onRequest([&](const Bytes&) { stop.request_stop(); });
    EXPECT_EQ(instrument->process("MEAS:VOLT?;FOO;MEAS:CURR?", stop.get_token()), std::nullopt);
    supply.onRequest(nullptr);
    EXPECT_EQ(supply.requests(), std::vector<Bytes>{statusRead});
    EXPECT_TRUE(queued().empty());
}

}  // namespace
}  // namespace varek
