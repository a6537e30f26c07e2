// The processor without a supply: the session was never connected, so every
// command that reaches it fails with "串口已断开。" (-200 "Device operation failed").
#include <gtest/gtest.h>

#include <stop_token>
#include <string>
#include <vector>

#include "varek/error.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

const SCPIError undefinedHeader{-113, "Undefined header"};
const SCPIError notAllowed{-108, "Parameter not allowed"};
const SCPIError missing{-109, "Missing parameter"};
const SCPIError missingOrExtra{-109, "Missing or extra parameter"};
const SCPIError outOfRange{-222, "Data out of range"};
const SCPIError illegal{-224, "Illegal parameter value"};
const SCPIError channel{-222, "Only channel 1 is available"};
const SCPIError deviceFailed{-200, "Device operation failed"};

class InstrumentWithoutDevice : public ::testing::Test {
protected:
    std::vector<SCPIError> queued() const {
        const auto entries = instrument.errors();
        return {entries.begin(), entries.end()};
    }

    SerialSession session;
    SCPIInstrument instrument{session, DeviceIdentity{60301, 12345, 1.23}};
};

TEST(SCPINormalize, FoldsShortensAndDropsOptionalNodes) {
    const struct {
        const char* header;
        const char* expected;
    } cases[] = {
        {"source:voltage:level:immediate:amplitude", "VOLT"},
        {":SOUR:CURR:LEV?", "CURR?"},
        {"MEASure:VOLTage:DC?", "MEAS:VOLT:DC?"},
        {"SYSTEM:ERROR:NEXT?", "SYST:ERR:NEXT?"},
        {"VOLT??", "VOLT?"},
        {"SOUR::VOLT", "VOLT"},
        {"SOUR:SOUR:VOLT", "SOUR:VOLT"},  // SOUR is dropped once, at the start only
        {"SYST:SOUR:SHA?", "SYST:SOUR:SHA?"},
        {"VOLT:AMPL:LEV:AMPL", "VOLT"},
        {"VOLT:LEV:PROT", "VOLT:LEV:PROT"},  // a foreign node keeps the level nodes
        {"MEAS:VOLT:LEV?", "MEAS:VOLT:LEV?"},
        {"VOLTA", "VOLTA"},
        {"OUTP1", "OUTP1"},
        {"*idn?", "*IDN?"},
        {"instrument:nselect", "INST:NSEL"},
        {"?", "?"},
        {"", ""},
        {":::", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SCPIInstrument::normalize(c.header), c.expected) << c.header;
    }
}

TEST(SCPICenti, RemovesOnlyABareUnitLetter) {
    const struct {
        const char* text;
        char unit;
        double maximum;
        std::uint16_t expected;
    } cases[] = {
        {"1.5V", 'V', 60.0, 150}, {"1.5 v", 'V', 60.0, 150}, {" 1.5\t", 'V', 60.0, 150},
        {"60", 'V', 60.0, 6000},  {"0", 'A', 30.0, 0},       {"30.00A", 'A', 30.0, 3000},
        {"2a", 'A', 30.0, 200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SCPIInstrument::centi(c.text, c.unit, c.maximum), c.expected) << c.text;
    }
}

TEST(SCPICenti, RefusesEmptyAndOutOfRangeValues) {
    for (const char* text : {"", "V", " v ", "\t"}) {
        try {
            SCPIInstrument::centi(text, 'V', 60.0);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const SCPIError& error) {
            EXPECT_EQ(error, missing) << text;
        }
    }
    for (const char* text : {"60.01", "-1", "1.234", "MAX", "500MV", "5VV", "1.5A", "nan", "inf"}) {
        EXPECT_THROW(SCPIInstrument::centi(text, 'V', 60.0), VarekError) << text;
    }
}

TEST_F(InstrumentWithoutDevice, CommandsQueueTheirErrorsAndQueriesReplyNan) {
    const struct {
        const char* line;
        std::optional<std::string> reply;
        std::vector<SCPIError> errors;
    } cases[] = {
        {"", std::nullopt, {}},
        {"   \t ", std::nullopt, {}},
        {";;", std::nullopt, {}},
        {"*OPC;*WAI;*CLS;INST:SEL ch1;INST:NSEL CH1;inst:nsel 1", std::nullopt, {}},
        {"VOLT 60.01;VOLT -1;VOLT 1.234;VOLT MAX;VOLT 500MV", std::nullopt,
         {outOfRange, outOfRange, outOfRange, outOfRange, outOfRange}},
        {"VOLT;VOLT V;CURR  a", std::nullopt, {missing, missing, missing}},
        // Values that convert reach the session, which has no port.
        {"VOLT 5V;volt 5 v;SOUR:VOLT:LEV:IMM:AMPL 5;CURR 1.5;OUTP ON", std::nullopt,
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        {"APPL;APPL 5;APPL 5,1,2", std::nullopt, {missingOrExtra, missingOrExtra, missingOrExtra}},
        {"APPL ,1;APPL 5,;APPL 61,x;APPL 5, 1A", std::nullopt,
         {missing, missing, outOfRange, deviceFailed}},
        {"OUTP;OUTP 2;OUTP:STAT yes", std::nullopt, {illegal, illegal, illegal}},
        {"INST:NSEL 2;INST:SEL CH2;INST:SEL", std::nullopt, {channel, channel, channel}},
        {"*RST;OUTP1 ON;VOLT:PROT 10", std::nullopt, {undefinedHeader, undefinedHeader, undefinedHeader}},
        {"*TST?;*ESR?;*STB?", "nan;nan;nan\n", {undefinedHeader, undefinedHeader, undefinedHeader}},
        // A query with a parameter is refused before its header is looked up.
        {"VOLT? 5;FOO? 1;*CLS 1;*OPC 1", "nan;nan\n", {notAllowed, notAllowed, notAllowed, notAllowed}},
        {"VOLT?;CURR?;OUTP?;MEAS:POW:DC?", "nan;nan;nan;nan\n",
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        {"*OPC?;INST:NSEL?;INST:SEL?;SYSTEM:VERSION?\r", "1;1;CH1;1999.0\n", {}},
        {":syst:sour:sha?", platform::sourceSHA() + "\n", {}},
        {"  *IDN?  ;  VOLT 1;?", "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23;nan\n",
         {deviceFailed, undefinedHeader}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        instrument.process("*CLS");
        EXPECT_EQ(instrument.process(c.line), c.reply);
        EXPECT_EQ(queued(), c.errors);
    }
}

TEST(SCPIIdentity, FirmwareUsesShortestRoundTripText) {
    const struct {
        double firmware;
        const char* expected;
    } cases[] = {{1.23, "1.23"}, {1.0, "1.0"}, {12.4, "12.4"}, {0.1, "0.1"}};
    SerialSession session;
    for (const auto& c : cases) {
        SCPIInstrument instrument(session, DeviceIdentity{60301, 4294967295u, c.firmware});
        EXPECT_EQ(instrument.process("*idn?"),
                  std::string("RuvizOzurir,VAREK-RD6030-Max-SCPI,4294967295,") + c.expected + "\n");
    }
}

TEST_F(InstrumentWithoutDevice, ErrorQueueIsReadOldestFirst) {
    EXPECT_EQ(instrument.process("FOO;SYST:ERR?"), "-113,\"Undefined header\"\n");
    EXPECT_EQ(instrument.process("SYST:ERR?"), "0,\"No error\"\n");
    EXPECT_EQ(instrument.process("VOLT;OUTP;system:error:next?;SYST:ERR?;SYST:ERR?"),
              "-109,\"Missing parameter\";-224,\"Illegal parameter value\";0,\"No error\"\n");
}

TEST_F(InstrumentWithoutDevice, OverflowKeepsNineteenEntriesAndAMarker) {
    for (int i = 0; i < 25; ++i) {
        instrument.process(i % 2 ? "FOO" : "VOLT 99");
    }
    const auto entries = queued();
    ASSERT_EQ(entries.size(), SCPIInstrument::errorQueueLimit);
    for (std::size_t i = 0; i < 19; ++i) {
        EXPECT_EQ(entries[i], i % 2 ? undefinedHeader : outOfRange) << i;
    }
    EXPECT_EQ(entries.back(), (SCPIError{-350, "Queue overflow"}));

    for (std::size_t i = 0; i < 19; ++i) {
        EXPECT_EQ(instrument.process("SYST:ERR?"),
                  i % 2 ? "-113,\"Undefined header\"\n" : "-222,\"Data out of range\"\n");
    }
    EXPECT_EQ(instrument.process("SYST:ERR?"), "-350,\"Queue overflow\"\n");
    EXPECT_EQ(instrument.process("SYST:ERR?"), "0,\"No error\"\n");
}

TEST_F(InstrumentWithoutDevice, StoppedWorkRunsNoFurtherCommand) {
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(instrument.process("FOO;*IDN?", stop.get_token()), std::nullopt);
    EXPECT_TRUE(queued().empty());
}

}  // namespace
}  // namespace varek
