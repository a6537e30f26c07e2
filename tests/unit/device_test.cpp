#include <gtest/gtest.h>

#include <clocale>
#include <set>
#include <vector>

#include "varek/device.hpp"
#include "varek/format.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using test::expectVarekError;

TEST(DeviceIdentity, DecodesAndRefusesWrongLengthBeforeModel) {
    const std::uint16_t registers[] = {60301, 1, 2, 123};
    const DeviceIdentity identity = DeviceIdentity::fromRegisters(registers);
    EXPECT_EQ(identity.model, 60301);
    EXPECT_EQ(identity.serial, 65538u);  // 32-bit pair, high word first
    EXPECT_DOUBLE_EQ(identity.firmware, 1.23);
    DeviceIdentity other = identity;
    EXPECT_TRUE(identity.sameSupply(other));
    other.firmware = 1.24;
    EXPECT_FALSE(identity.sameSupply(other));

    for (std::size_t n : {3u, 5u})  // an unsupported model word, but the length is checked first
        expectVarekError([&] { DeviceIdentity::fromRegisters(std::vector<std::uint16_t>(n, 60300)); }, VarekError::invalid("设备身份数据不完整。"));
    expectVarekError([] { DeviceIdentity::fromRegisters(std::vector<std::uint16_t>{60300, 1, 2, 3}); }, VarekError::unsupported(60300));
    for (std::size_t n : {37u, 39u})
        expectVarekError([&] { PowerSample::fromRegisters(std::vector<std::uint16_t>(n), {}); }, VarekError::invalid("状态数据不完整。"));
}

TEST(PowerSample, DecodesEveryField) {
    std::vector<std::uint16_t> block(PowerSample::count, 0);
    const auto at = [&](std::size_t address) -> std::uint16_t& { return block[address - PowerSample::start]; };
    // Register 4 = 1 is the negative sign of 5; 12-13, 38-39 and 40-41 are 32-bit pairs, high word first.
    for (auto [address, value] : std::initializer_list<std::pair<std::size_t, std::uint16_t>>{
             {4, 1}, {5, 12}, {8, 1500}, {9, 1000}, {10, 1499}, {11, 250}, {12, 0x0001}, {13, 0x86A0},
             {14, 6400}, {16, 7}, {17, 2}, {18, 2}, {39, 0x04D2}, {40, 0x0001}})
        at(address) = value;
    const Timestamp when = SystemClock::now();
    const PowerSample s = PowerSample::fromRegisters(block, when);
    EXPECT_EQ(s.time, when);
    EXPECT_DOUBLE_EQ(s.temperature, -12);
    EXPECT_DOUBLE_EQ(s.voltageSet, 15.0);
    EXPECT_DOUBLE_EQ(s.currentSet, 10.0);
    EXPECT_DOUBLE_EQ(s.voltage, 14.99);
    EXPECT_DOUBLE_EQ(s.current, 2.5);
    EXPECT_DOUBLE_EQ(s.power, 1000.0);
    EXPECT_DOUBLE_EQ(s.inputVoltage, 64.0);
    EXPECT_TRUE(s.outputEnabled);
    EXPECT_EQ(s.protectionName(), "保护状态 7");
    EXPECT_EQ(s.modeName(), "模式 2");
    EXPECT_DOUBLE_EQ(s.capacity, 1.234);
    EXPECT_DOUBLE_EQ(s.energy, 65.536);
    at(4) = 2;
    EXPECT_DOUBLE_EQ(PowerSample::fromRegisters(block, when).temperature, 12);

    const struct { std::uint16_t code; const char *protection, *mode; } names[] = {
        {0, "保护正常", "恒压 CV"}, {1, "过压保护", "恒流 CC"}, {2, "过流保护", "模式 2"}, {3, "过温保护", "模式 3"}};
    std::set<std::string> ids;
    for (const auto& c : names) {
        at(16) = at(17) = c.code;
        const PowerSample named = PowerSample::fromRegisters(block, {});
        EXPECT_EQ(named.protectionName(), c.protection);
        EXPECT_EQ(named.modeName(), c.mode);
        const std::string id = named.id.toString();
        EXPECT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '4');  // version 4
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);
}

TEST(VarekError, EqualityIsCaseAndPayload) {
    EXPECT_EQ(VarekError::invalid("a"), VarekError::invalid("a"));
    EXPECT_NE(VarekError::invalid("x"), VarekError::io("x"));
    EXPECT_NE(VarekError::exception(1), VarekError::exception(2));
    EXPECT_NE(VarekError::exception(7), VarekError::unsupported(7));
    EXPECT_NE(VarekError::crc(), VarekError::readback());
}

TEST(Format, NumbersIgnoreTheProcessLocaleAndTimesAreUtc) {
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // a comma-decimal locale, if installed, must not leak
    EXPECT_EQ(formatFixed2(1234.5), "1234.50");
    EXPECT_EQ(formatFixed(0.1, 3), "0.100");
    EXPECT_EQ(formatShortest(1), "1.0");
    EXPECT_EQ(formatShortest(1e21), "1e+21");
    std::setlocale(LC_ALL, "C");
    const Timestamp t = SystemClock::from_time_t(1700000000) + std::chrono::milliseconds(42);
    EXPECT_EQ(iso8601(t), "2023-11-14T22:13:20Z");
    EXPECT_EQ(iso8601Millis(t), "2023-11-14T22:13:20.042Z");
    EXPECT_EQ(utcDate(t), "2023-11-14");
}

}  // namespace
}  // namespace varek
