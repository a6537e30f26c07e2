// The simulated supply's own rules: request framing, register model, control commands.
#include <gtest/gtest.h>

#include <cmath>

#include "request_splitter.hpp"
#include "sim_commands.hpp"
#include "supply_model.hpp"
#include "varek/device.hpp"

namespace varek::sim {
namespace {

using Clock = SupplyModel::Clock;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(RequestSplitter, CutsByLengthAndResynchronises) {
    const std::uint16_t values[] = {1500, 1000};
    const Bytes read = Modbus::read(1, 4, 38);
    const Bytes multiple = Modbus::multiple(1, 8, values);
    Bytes broken = Modbus::write(1, 18, 1);
    broken[5] ^= 0x40;

    RequestSplitter splitter;
    splitter.append(concat({{0xFF}, broken, multiple, read}));
    EXPECT_EQ(splitter.next(false), multiple);
    EXPECT_EQ(splitter.next(false), read);
    EXPECT_EQ(splitter.next(false), std::nullopt);
    EXPECT_TRUE(splitter.empty());

    // Half a request waits for the rest; after a silent gap it is given up.
    splitter.append(ByteView(multiple).first(9));
    EXPECT_EQ(splitter.next(false), std::nullopt);
    splitter.append(ByteView(multiple).subspan(9));
    EXPECT_EQ(splitter.next(false), multiple);

    // A garbage byte that looks like a long 0x10 header cannot hold up a real request
    // once the line has gone quiet.
    splitter.append(concat({{0x07, 0x10, 0, 0, 0, 0, 0xF0}, read}));
    EXPECT_EQ(splitter.next(false), std::nullopt);
    EXPECT_EQ(splitter.next(true), read);
}

class ModelTest : public ::testing::Test {
protected:
    Bytes ask(const Bytes& request) { return model.handle(request, now).value_or(Bytes{}); }

    Clock::time_point now = Clock::now();
    SupplyModel model{SimulatorOptions{}, now};
};

TEST_F(ModelTest, LoadFollowsOutputAndLimit) {
    struct Case {
        std::uint16_t voltage, current, output;
        std::uint16_t volts, amps, mode;
    } cases[] = {
        {1200, 500, 0, 0, 0, 0},        // off: nothing at the terminals
        {1200, 500, 1, 1200, 120, 0},   // 12 V into 10 ohms: 1.2 A, constant voltage
        {1200, 50, 1, 500, 50, 1},      // 0.5 A limit: constant current, 5 V
    };
    for (const auto& c : cases) {
        const std::uint16_t values[] = {c.voltage, c.current};
        ask(Modbus::multiple(1, 8, values));
        ask(Modbus::write(1, 18, c.output));
        EXPECT_EQ(model.reg(10), c.volts);
        EXPECT_EQ(model.reg(11), c.amps);
        EXPECT_EQ(model.reg(17), c.mode);
        EXPECT_EQ(model.reg(12) << 16 | model.reg(13), std::lround(c.volts * c.amps / 100.0));
    }
    const std::uint16_t capacityBefore = model.reg(39);
    model.update(now + std::chrono::hours(1));  // 0.5 A for an hour: 500 thousandths more
    EXPECT_EQ(model.reg(39), capacityBefore + 500);
    EXPECT_GE(model.reg(5), 25);
    EXPECT_LE(model.reg(5), 35);
}

TEST_F(ModelTest, RefusalsAndEchoes) {
    const std::uint16_t overVoltage[] = {6001, 100};
    const std::uint16_t overCurrent[] = {1000, 3001};
    const auto exception = [](std::uint8_t function, std::uint8_t code) {
        const std::uint8_t body[] = {1, static_cast<std::uint8_t>(function | 0x80), code};
        return Modbus::framed(body);
    };
    EXPECT_EQ(ask(Modbus::write(1, 8, 6001)), exception(0x06, 3));
    EXPECT_EQ(ask(Modbus::write(1, 9, 3001)), exception(0x06, 3));
    EXPECT_EQ(ask(Modbus::multiple(1, 8, overVoltage)), exception(0x10, 3));
    EXPECT_EQ(ask(Modbus::multiple(1, 8, overCurrent)), exception(0x10, 3));
    EXPECT_EQ(model.reg(8), 500);  // nothing of a refused write is applied
    EXPECT_EQ(ask(Modbus::framed(Bytes{1, 0x04, 0, 0, 0, 1})), exception(0x04, 1));
    EXPECT_EQ(ask(Modbus::framed(Bytes{1, 0x03, 0, 0, 0, 126})), exception(0x03, 3));
    EXPECT_EQ(ask(Modbus::framed(Bytes{1, 0x03, 0xFF, 0xFF, 0, 2})), exception(0x03, 2));

    const Bytes elsewhere = Modbus::write(1, 20, 7);
    EXPECT_EQ(ask(elsewhere), elsewhere);  // acknowledged, read-only all the same
    EXPECT_EQ(model.reg(20), 0);
    EXPECT_EQ(model.handle(Modbus::read(2, 0, 4), now), std::nullopt);

    const Bytes far = ask(Modbus::read(1, 65500, 36));  // unmodelled registers read 0
    EXPECT_EQ(far.size(), 5u + 72);
    model.setOutputStuck(true);
    EXPECT_EQ(ask(Modbus::write(1, 18, 1)), Modbus::write(1, 18, 1));
    EXPECT_EQ(model.reg(18), 0);
}

TEST(SimCommands, ControlLines) {
    SupplySimulator sim;
    struct Case {
        const char* line;
        const char* reply;
    } cases[] = {
        {"get 0", "60301"},      {"set 16 3", "ok"},       {"get 16", "3"},
        {"serial 65538", "ok"},  {"get 1", "1"},           {"get 2", "2"},
        {"stray FF 0", "ok"},    {"stray", "ok"},          {"stray FFF", "error: expected hex bytes"},
        {"split 3", "ok"},       {"crc 2", "ok"},          {"exception 4", "ok"},
        {"exception off", "ok"}, {"silent on", "ok"},      {"silent maybe", "error: expected on or off"},
        {"latency 5", "ok"},     {"baud 0", "ok"},         {"stuck off", "ok"},
        {"requests", "0"},       {"clear", "ok"},          {"get 70000", "error: expected a register"},
        {"", "error: empty command"}, {"dance", "error: unknown command"},
    };
    for (const auto& c : cases) EXPECT_EQ(runCommand(sim, c.line), c.reply) << c.line;
    EXPECT_EQ(hexLine(Modbus::read(1, 4, 38)), "01 03 00 04 00 26 85 D1");
}

TEST(SimCommands, ProgramOptions) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
    } cases[] = {
        {{"--serial", "7", "--firmware", "150", "--station", "3", "--load", "2.5"}, true},
        {{"--latency", "10", "--baud", "115200", "--link", "/tmp/x", "--log", "/tmp/y"}, true},
        {{"--station", "0"}, false},
        {{"--station", "248"}, false},
        {{"--load", "0"}, false},
        {{"--serial"}, false},
        {{"--serial", "-1"}, false},
        {{"--bogus", "1"}, false},
        {{"--link", ""}, false},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("varek-sim")};
        for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
        ProgramOptions options;
        EXPECT_EQ(parseOptions(static_cast<int>(argv.size()), argv.data(), options), c.ok) << c.args[0];
    }
}

}  // namespace
}  // namespace varek::sim
