// The processor without a supply: the session was never connected, so every
// command that reaches it fails with "串口已断开。" (-200 "Device operation failed").
#include <gtest/gtest.h>

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

TEST(SCPINormalize, FoldsShortensAndDropsOptionalNodes) {
    const std::pair<const char*, const char*> cases[] = {
        {"source:voltage:level:immediate:amplitude", "VOLT"},
        {":SOUR:CURR:LEV?", "CURR?"},
        {"MEASure:VOLTage:DC?", "MEAS:VOLT:DC?"},
        {"SYSTEM:ERROR:NEXT?", "SYST:ERR:NEXT?"},
        {"VOLT??", "VOLT?"},
        {"SOUR:SOUR:VOLT", "SOUR:VOLT"},  // SOUR is dropped once, at the start only
        {"VOLT:LEV:PROT", "VOLT:LEV:PROT"},  // a foreign node keeps the level nodes
        {"VOLTA", "VOLTA"},
        {"*idn?", "*IDN?"},
        {":::", ""},
    };
    for (const auto& [header, expected] : cases) {
        EXPECT_EQ(SCPIInstrument::normalize(header), expected) << header;
    }
}

TEST(SCPICenti, AcceptsABareUnitLetterAndRefusesTheRest) {
    EXPECT_EQ(SCPIInstrument::centi(" 1.5 v\t", 'V', 60.0), 150);
    EXPECT_EQ(SCPIInstrument::centi("30.00A", 'A', 30.0), 3000);
    for (const char* text : {"60.01", "-1", "1.234", "MAX", "500MV", "5VV", "1.5A", "nan", "inf"}) {
        EXPECT_THROW(SCPIInstrument::centi(text, 'V', 60.0), VarekError) << text;
    }
}

TEST(SCPIInstrumentWithoutDevice, CommandsQueueTheirErrorsAndQueriesReplyNan) {
    const struct {
        const char* line;
        std::optional<std::string> reply;
        std::vector<SCPIError> errors;
    } cases[] = {
        {" \t;;", std::nullopt, {}},
        {"*OPC;*WAI;*CLS;INST:SEL ch1;inst:nsel 1", std::nullopt, {}},
        {"VOLT 60.01;VOLT -1;VOLT 1.234;VOLT MAX;VOLT 500MV", std::nullopt,
         {outOfRange, outOfRange, outOfRange, outOfRange, outOfRange}},
        {"VOLT;VOLT V;CURR  a", std::nullopt, {missing, missing, missing}},
        // Values that convert reach the session, which has no port.
        {"volt 5 v;SOUR:VOLT:LEV:IMM:AMPL 5;OUTP ON", std::nullopt, {deviceFailed, deviceFailed, deviceFailed}},
        {"APPL 5;APPL 5,1,2;APPL ,1;APPL 61,x", std::nullopt, {missingOrExtra, missingOrExtra, missing, outOfRange}},
        {"OUTP;OUTP:STAT yes", std::nullopt, {illegal, illegal}},
        {"INST:NSEL 2;INST:SEL CH2", std::nullopt, {channel, channel}},
        {"*RST;OUTP1 ON", std::nullopt, {undefinedHeader, undefinedHeader}},
        // A query with a parameter is refused before its header is looked up.
        {"VOLT? 5;FOO? 1;*TST?", "nan;nan;nan\n", {notAllowed, notAllowed, undefinedHeader}},
        {"VOLT?;CURR?;OUTP?;MEAS:POW:DC?", "nan;nan;nan;nan\n",
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        {"*OPC?;INST:NSEL?;INST:SEL?;SYSTEM:VERSION?\r", "1;1;CH1;1999.0\n", {}},
        {":syst:sour:sha?", platform::sourceSHA() + "\n", {}},
        {"  *IDN?  ;  VOLT 1;?", "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23;nan\n",
         {deviceFailed, undefinedHeader}},
    };
    SerialSession session;
    SCPIInstrument instrument{session, DeviceIdentity{60301, 12345, 1.23}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        instrument.process("*CLS");
        EXPECT_EQ(instrument.process(c.line), c.reply);
        const auto entries = instrument.errors();
        EXPECT_EQ(std::vector<SCPIError>(entries.begin(), entries.end()), c.errors);
    }
    // The queue is read oldest first.
    EXPECT_EQ(instrument.process("*CLS;VOLT;OUTP;system:error:next?;SYST:ERR?;SYST:ERR?"),
              "-109,\"Missing parameter\";-224,\"Illegal parameter value\";0,\"No error\"\n");
}

TEST(SCPINeedsDevice, ClassifiesLinesByTheCommandsTheyHold) {
    const struct {
        const char* line;
        bool device;
    } cases[] = {
        {"", false},
        {" ;\t; ", false},
        {"*IDN?;*opc?;*OPC;*WAI;*CLS", false},
        {"SYST:ERR?;system:error:next?;SYST:VERS?;:syst:sour:sha?", false},
        {"INST:NSEL?;INST:SEL?;inst:sel ch1;INST:NSEL 2", false},
        {"FOO;*RST;OUTP1 ON;VOLT:PROT 10;MEAS?", false},
        {"VOLT? 5;MEAS:VOLT? x", false},  // refused before the header is looked up
        {"SYST:SOUR?", false},            // SOUR is dropped only at the start
        {"OUTP ON", true},
        {"output:state off", true},
        {"source:voltage:level:immediate 5", true},
        {"VOLT 61", true},  // the parameter is not examined
        {"CURR 1;APPL 5,1", true},
        {"OUTP?", true},
        {"OUTP:STAT?", true},
        {"SOUR:VOLT:LEV?", true},
        {"CURR?", true},
        {"APPL?", true},
        {"measure:voltage?", true},
        {"MEAS:VOLT:DC?;MEAS:CURR:DC?;MEAS:POW:DC?", true},
        {"MEAS:POW?\r", true},
        {"*IDN?;SYST:ERR?;MEAS:CURR?", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SCPIInstrument::needsDevice(c.line), c.device);
    }
}

// With parameters that convert, a line tries the supply exactly when it is classified
// as needing it; without a port every try leaves a -200 behind (*CLS would wipe it).
TEST(SCPINeedsDevice, AgreesWithWhatProcessTries) {
    const char* commands[] = {
        "*IDN?", "*OPC?", "*OPC", "*WAI", "*CLS 1", "SYST:ERR?", "SYST:ERR:NEXT?", "SYST:VERS?",
        "SYST:SOUR:SHA?", "INST:NSEL?", "INST:SEL?", "INST:NSEL 1", "INST:SEL CH1", "FOO", "*RST",
        "VOLT:PROT 10", "VOLT? 5", "OUTP1 ON", "OUTP ON", "OUTP:STAT 0", "VOLT 5", "CURR 1", "APPL 5,1",
        "sour:volt:lev 5", "OUTP?", "OUTP:STAT?", "VOLT?", "CURR?", "APPL?", "MEAS:VOLT?", "MEAS:VOLT:DC?",
        "MEAS:CURR?", "MEAS:CURR:DC?", "MEAS:POW?", "MEAS:POW:DC?",
    };
    std::vector<std::string> lines;
    for (const char* first : commands) {
        lines.push_back(first);
        for (const char* second : commands) lines.push_back(std::string(first) + ";" + second);
    }
    SerialSession session;
    SCPIInstrument instrument{session, DeviceIdentity{60301, 12345, 1.23}};
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        instrument.process("*CLS");
        // SYST:ERR? may already have taken the entry off the queue and into the reply.
        bool tried = instrument.process(line).value_or("").find("-200,") != std::string::npos;
        for (const SCPIError& entry : instrument.errors()) tried = tried || entry.code == -200;
        EXPECT_EQ(SCPIInstrument::needsDevice(line), tried);
    }
}

}  // namespace
}  // namespace varek
