// The processor without a supply: the session was never connected, so every
// command that reaches it fails with "串口已断开。" (-200 "Device operation failed").
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "varek/error.hpp"
#include "varek/platform.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/serial_session.hpp"

namespace varek {

void PrintTo(const SCPIError& error, std::ostream* out) { *out << error.code << ",\"" << error.message << '"'; }

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
        {"system:remote", "SYST:REM"},
        {"SYST:LOCAL", "SYST:LOC"},
        {":System:RWLock", "SYST:RWL"},
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
        {"*OPC;*WAI;*CLS;INST:SEL ch1;inst:nsel 1;INST:NSEL out1;INST:SEL (@1)", std::nullopt, {}},
        {"SYST:REM;system:local;SYST:RWLOCK;SYST:REM 1", std::nullopt, {notAllowed}},
        {"VOLT 60.01;VOLT -1;VOLT 1.234;VOLT DEF;VOLT 500MV", std::nullopt,
         {outOfRange, outOfRange, outOfRange, outOfRange, outOfRange}},
        {"VOLT;VOLT V;CURR  a", std::nullopt, {missing, missing, missing}},
        // Values that convert reach the session, which has no port.
        {"volt 5 v;SOUR:VOLT:LEV:IMM:AMPL 5;OUTP ON;*RST", std::nullopt,
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        {"VOLT MAX;curr minimum;APPL max,MIN", std::nullopt, {deviceFailed, deviceFailed, deviceFailed}},
        {"VOLT 5,(@1);CURR 1, ch1;OUTP ON,(@ 1 );OUTP:STAT off,OUT1;APPL CH1,5,1;APPL (@1),MAX,1", std::nullopt,
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        // Another channel is refused before its value is examined.
        {"VOLT 99,(@2);CURR 1,(@1,2);OUTP ON,OUT2;APPL CH2,5;APPL (@1:2),5,1", std::nullopt,
         {channel, channel, channel, channel, channel}},
        {"APPL 5;APPL 5,1,2;APPL ,1;APPL 61,x", std::nullopt, {missingOrExtra, missingOrExtra, missing, outOfRange}},
        // Forms beside the accepted ones keep their errors: a bare number is no channel.
        {"APPL 1,5,1;APPL CH1,5;APPL 5,1,(@1);VOLT (@1);VOLT ,(@1);VOLT 5,FOO", std::nullopt,
         {missingOrExtra, missingOrExtra, missingOrExtra, outOfRange, outOfRange, outOfRange}},
        {"OUTP;OUTP:STAT yes;OUTP CH1,ON;OUTP (@1)", std::nullopt, {illegal, illegal, illegal, illegal}},
        {"INST:NSEL 2;INST:SEL CH2;INST:SEL (@1,2);INST:NSEL OUT", std::nullopt, {channel, channel, channel, channel}},
        {"OUTP1 ON;VOLT:PROT 10;*RST?", "nan\n", {undefinedHeader, undefinedHeader, undefinedHeader}},
        // A query with a parameter is refused before its header is looked up.
        {"VOLT? 5;FOO? 1;*TST? 1;VOLT:PROT?", "nan;nan;nan;nan\n", {notAllowed, notAllowed, notAllowed, undefinedHeader}},
        {"VOLT? 1;VOLT? CH1,MAX;MEAS:VOLT? MAX;APPL? MIN;OUTP? max;*IDN? CH1;INST:SEL? CH1",
         "nan;nan;nan;nan;nan;nan;nan\n",
         {notAllowed, notAllowed, notAllowed, notAllowed, notAllowed, notAllowed, notAllowed}},
        {"VOLT? CH2;MEAS:CURR? (@2);OUTP? OUT3;VOLT? MAX,(@1,2)", "nan;nan;nan;nan\n",
         {channel, channel, channel, channel}},
        {"VOLT?;CURR?;OUTP?;MEAS:POW:DC?", "nan;nan;nan;nan\n",
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        {"MEAS:VOLT? CH1;VOLT? (@1);OUTP? out1;APPL? ch1", "nan;nan;nan;nan\n",
         {deviceFailed, deviceFailed, deviceFailed, deviceFailed}},
        // MIN and MAX need no supply: the range is the ceilings' (here the supply's own).
        {"VOLT? MAX;CURR? MAX;VOLT? min;CURR? MINimum;SOUR:VOLT:LEV? MAXIMUM,(@1);CURR? MAX, CH1",
         "60.00;30.00;0.00;0.00;60.00;30.00\n", {}},
        {"*OPC?;*TST?;INST:NSEL?;INST:SEL?;SYSTEM:VERSION?\r", "1;0;1;CH1;1999.0\n", {}},
        {"*ESE 255;*SRE 255;*ESE?;*SRE?;*ese +1.2e1;*ESE?;*SRE 0;*SRE?", "255;191;12;0\n", {}},
        {"*ESE 256;*ESE -1;*SRE x;*SRE 0x20;*ESE", std::nullopt, {outOfRange, outOfRange, outOfRange, outOfRange, missing}},
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

// One connection's status registers, line after line: *ESR? reads and clears, errors
// set the bit of their class, *CLS clears events and queue but not the enables.
TEST(SCPIInstrumentWithoutDevice, StatusRegistersFollowTheEventsOfTheirConnection) {
    const std::pair<const char*, const char*> steps[] = {
        {"*STB?;*ESR?;*ESE?;*SRE?", "0;0;0;0\n"},
        {"FOO;*ESR?;*ESR?;*STB?", "32;0;4\n"},  // command error; the queue still holds it
        {"*ESE 32;VOLT? 1;*STB?", "nan;36\n"},   // enabled event: summary bit 5
        {"*SRE 32;*STB?;*STB?", "100;100\n"},    // master summary; *STB? clears nothing
        {"*ESR?;*STB?", "32;4\n"},               // read and cleared: no summary left
        {"*SRE 4;*STB?;*CLS;*STB?;*ESR?;*ESE?;*SRE?", "68;0;0;32;4\n"},
        {"*OPC;*OPC?;*ESR?", "1;1\n"},           // *OPC sets bit 0, *OPC? does not
        {"VOLT 99;VOLT?;*ESR?", "nan;16\n"},      // -222 and -200 are execution errors
        {"*CLS;*OPC;APPL 5;*ESR?;SYST:ERR?;*STB?", "33;-109,\"Missing or extra parameter\";0\n"},
    };
    SerialSession session;
    SCPIInstrument instrument{session, DeviceIdentity{60301, 12345, 1.23}};
    for (const auto& [line, reply] : steps) {
        SCOPED_TRACE(line);
        EXPECT_EQ(instrument.process(line), reply);
    }
}

TEST(SCPIStatusRegisters, ErrorClassesAndOverflowSetTheirEventBits) {
    const struct {
        std::vector<int> codes;
        std::uint8_t events;
    } cases[] = {
        {{}, 0},
        {{-113}, SCPIStatus::commandError},
        {{-222, -200}, SCPIStatus::executionError},
        {{-350}, SCPIStatus::deviceError},
        {{-410}, SCPIStatus::queryError},
        {{-108, -224, -420}, SCPIStatus::commandError | SCPIStatus::executionError | SCPIStatus::queryError},
        {std::vector<int>(21, -113), SCPIStatus::commandError | SCPIStatus::deviceError},  // overflow
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codes.size());
        SCPIStatus status;
        for (int code : c.codes) status.queue({code, "x"});
        EXPECT_EQ(status.events, c.events);
        EXPECT_EQ(status.errors.size(), std::min<std::size_t>(c.codes.size(), SCPIStatus::errorQueueLimit));
        EXPECT_EQ(status.statusByte(), c.codes.empty() ? 0 : SCPIStatus::errorAvailable);
        status.eventEnable = 0xff;
        status.serviceEnable = SCPIStatus::eventSummary;
        EXPECT_EQ(status.statusByte(), c.codes.empty() ? 0 : 0x64);
    }
}

// With parameters that convert, a line (every command alone and every pair) tries the
// supply exactly when it is classified as needing it; without a port every try leaves
// a -200 behind (*CLS would wipe it). Case, long forms, empty commands and refusals
// before the header is looked up are among the forms.
TEST(SCPINeedsDevice, AgreesWithWhatProcessTries) {
    const char* commands[] = {
        "*IDN?", "*OPC?", "*OPC", "*WAI", "*CLS 1", "SYST:ERR?", "SYST:ERR:NEXT?", "SYST:VERS?",
        "SYST:SOUR:SHA?", "INST:NSEL?", "INST:SEL?", "INST:NSEL 1", "INST:SEL CH1", "FOO", "*RST",
        "VOLT:PROT 10", "VOLT? 5", "OUTP1 ON", "OUTP ON", "OUTP:STAT 0", "VOLT 5", "CURR 1", "APPL 5,1",
        "sour:volt:lev 5", "OUTP?", "OUTP:STAT?", "VOLT?", "CURR?", "APPL?", "MEAS:VOLT?", "MEAS:VOLT:DC?",
        "MEAS:CURR?", "MEAS:CURR:DC?", "MEAS:POW?", "MEAS:POW:DC?", "*RST", "*ESR?", "*STB?", "*ESE 1",
        "*SRE?", "*TST?", "SYST:REM", "VOLT? MAX", "CURR? MIN,(@1)", "VOLT? CH2", "MEAS:VOLT? CH1", "VOLT? (@1)",
        "VOLT MAX", "OUTP ON,(@1)", "APPL CH1,5,1", "", " \t", "output:state off", "measure:voltage?",
        "source:voltage:level:immediate 5", "SYST:SOUR?", "MEAS:VOLT? x", "APPL? MAX", "OUTP? OUT1",
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
