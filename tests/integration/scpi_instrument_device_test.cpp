// The processor against a real SerialSession talking to the simulated supply
// over a pseudo-terminal: the frames each command sends, the values it reports,
// and how device failures land in the error queue.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "varek/protocol.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek {
namespace {

const Bytes statusRead = Modbus::read(1, PowerSample::start, PowerSample::count);
const Bytes setpointRead = Modbus::read(1, Register::voltageSet, 2);
const Bytes outputRead = Modbus::read(1, Register::output, 1);

Bytes multiple(std::uint16_t voltage, std::uint16_t current) {
    const std::uint16_t values[] = {voltage, current};
    return Modbus::multiple(1, Register::voltageSet, values);
}

class InstrumentOnSupply : public ::testing::Test {
protected:
    void SetUp() override {
        session.connect(supply.path(), 115200, 1);
        supply.clearRequests();
    }
    sim::SupplySimulator supply{sim::SimulatorOptions{.serial = 12345, .firmwareHundredths = 123}};
    SerialSession session;
    SCPIInstrument instrument{session, DeviceIdentity{60301, 12345, 1.23}};
};

TEST_F(InstrumentOnSupply, SetCommandsSendTheirFramesAndRefusedOnesNothing) {
    // The simulator starts at 5.00 V / 1.00 A with the output off.
    const struct {
        const char* line;
        std::vector<Bytes> frames;
        std::size_t errors = 0;
    } cases[] = {
        {"VOLT 12.5", {setpointRead, multiple(1250, 100), setpointRead, statusRead}},
        {"source:current:level:immediate:amplitude 2A", {setpointRead, multiple(1250, 200), setpointRead, statusRead}},
        {"OUTP ON", {Modbus::write(1, Register::output, 1), outputRead, statusRead}},
        {"OUTP:STAT off", {Modbus::write(1, Register::output, 0), outputRead, statusRead}},
        {"APPL 5,1", {multiple(500, 100), setpointRead, statusRead}},
        {"*OPC;INST:NSEL 1;*CLS", {}},
        {"VOLT 60.01;VOLT 1.234;VOLT;CURR 30.01", {}, 4},
        {"APPL 5;APPL 61,1;APPL 5,31;OUTP 2;INST:NSEL 2", {}, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        supply.clearRequests();
        instrument.process("*CLS");
        EXPECT_EQ(instrument.process(c.line), std::nullopt);
        EXPECT_EQ(supply.requests(), c.frames);
        EXPECT_EQ(instrument.errors().size(), c.errors);
    }
}

TEST_F(InstrumentOnSupply, QueriesReadTheSupplyEachTime) {
    EXPECT_EQ(instrument.process("*idn?"), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(instrument.process("VOLT 12.5;CURR 2;OUTP ON"), std::nullopt);
    supply.clearRequests();
    // 12.5 V into the 10-ohm load draws 1.25 A, below the 2 A limit.
    EXPECT_EQ(instrument.process("VOLT?;CURR?;OUTP?"), "12.50;2.00;1\n");
    EXPECT_EQ(instrument.process("APPL?"), "12.50,2.00\n");
    EXPECT_EQ(instrument.process("MEAS:VOLT?;MEAS:CURR:DC?;meas:pow?"), "12.50;1.25;15.63\n");
    EXPECT_EQ(supply.requests(), std::vector<Bytes>(7, statusRead));
    instrument.process("OUTP 0;VOLT 30");
    EXPECT_EQ(instrument.process("MEAS:VOLT?;VOLT?;OUTP:STAT?"), "0.00;30.00;0\n");
    EXPECT_TRUE(instrument.errors().empty());
}

TEST_F(InstrumentOnSupply, FailuresKeepNanSlotsAndOverflowAfterNineteen) {
    supply.setExceptionCode(4);
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
        EXPECT_EQ(instrument.process("SYST:ERR?"),
                  std::to_string(c.error.code) + ",\"" + c.error.message + "\"\n");
    }
}

// A ceiling refuses like the supply's own range would, before any frame; values at
// the ceiling still go through.
TEST_F(InstrumentOnSupply, CeilingsRefuseSetpointsAboveThemWithoutWriting) {
    SCPIInstrument limited{session, DeviceIdentity{60301, 12345, 1.23}, SafetyCeilings{1200, 500}};
    const struct {
        const char* line;
        std::vector<Bytes> frames;
        std::vector<SCPIError> errors;
    } cases[] = {
        {"VOLT 13", {}, {{-222, "Data out of range"}}},
        {"VOLT 12.01V", {}, {{-222, "Data out of range"}}},
        {"CURR 5.01", {}, {{-222, "Data out of range"}}},
        {"APPL 13,1", {}, {{-222, "Data out of range"}}},
        {"APPL 5,6", {}, {{-222, "Data out of range"}}},
        {"VOLT 12;CURR 5", {setpointRead, multiple(1200, 100), setpointRead, statusRead,
                            setpointRead, multiple(1200, 500), setpointRead, statusRead}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        supply.clearRequests();
        EXPECT_EQ(limited.process(c.line), std::nullopt);
        EXPECT_EQ(supply.requests(), c.frames);
        const auto errors = limited.errors();
        EXPECT_EQ(std::vector<SCPIError>(errors.begin(), errors.end()), c.errors);
        limited.process("*CLS");
    }
}

}  // namespace
}  // namespace varek
