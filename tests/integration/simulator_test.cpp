// The simulated supply's own rules: request framing, register model.
#include <gtest/gtest.h>

#include <cmath>

#include "request_splitter.hpp"
#include "supply_model.hpp"

namespace varek::sim {
namespace {

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(RequestSplitter, CutsByLengthAndResynchronises) {
    const std::uint16_t values[] = {1500, 1000};
    const Bytes read = Modbus::read(1, 4, 38), multiple = Modbus::multiple(1, 8, values);
    Bytes broken = Modbus::write(1, 18, 1);
    broken[5] ^= 0x40;
    RequestSplitter splitter;
    splitter.append(concat({{0xFF}, broken, multiple, Bytes(read.begin(), read.begin() + 3)}));
    EXPECT_EQ(splitter.next(false), multiple);
    EXPECT_EQ(splitter.next(false), std::nullopt);  // half a request waits for the rest
    splitter.append(ByteView(read).subspan(3));
    EXPECT_EQ(splitter.next(false), read);
    EXPECT_TRUE(splitter.empty());
    // A garbage byte that looks like a long 0x10 header gives way once the line goes quiet.
    splitter.append(concat({{0x07, 0x10, 0, 0, 0, 0, 0xF0}, read}));
    EXPECT_EQ(splitter.next(false), std::nullopt);
    EXPECT_EQ(splitter.next(true), read);
}

TEST(SupplyModel, LoadRefusalsAndEchoes) {
    const auto now = SupplyModel::Clock::now();
    SupplyModel model{SimulatorOptions{}, now};
    const auto ask = [&](const Bytes& request) { return model.handle(request, now).value_or(Bytes{}); };
    const struct { std::uint16_t voltage, current, output, volts, amps, mode; } cases[] = {
        {1200, 500, 0, 0, 0, 0},       // off: nothing at the terminals
        {1200, 500, 1, 1200, 120, 0},  // 12 V into 10 ohms: 1.2 A, constant voltage
        {1200, 50, 1, 500, 50, 1},     // 0.5 A limit: constant current, 5 V
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

    const std::uint16_t overVoltage[] = {6001, 100};
    EXPECT_EQ(ask(Modbus::multiple(1, 8, overVoltage)), Modbus::framed(Bytes{1, 0x90, 3}));
    EXPECT_EQ(model.reg(8), 1200);  // nothing of a refused write is applied
    EXPECT_EQ(model.handle(Modbus::read(2, 0, 4), now), std::nullopt);
    model.setOutputStuck(true);
    EXPECT_EQ(ask(Modbus::write(1, 18, 0)), Modbus::write(1, 18, 0));  // acknowledged, not applied
    EXPECT_EQ(model.reg(18), 1);
}

}  // namespace
}  // namespace varek::sim
