// The processor against a real SerialSession talking to the simulated supply over a
// pseudo-terminal: the values queries report, and how device failures land in the
// error queue. (The frames each command sends: scpi_server_test, through the server.)
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

}  // namespace
}  // namespace varek
