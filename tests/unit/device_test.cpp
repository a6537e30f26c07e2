#include <gtest/gtest.h>

#include <clocale>
#include <set>
#include <vector>

#include "varek/device.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

std::vector<std::uint16_t> statusBlock() { return std::vector<std::uint16_t>(PowerSample::count, 0); }
std::uint16_t& at(std::vector<std::uint16_t>& block, std::size_t address) { return block[address - PowerSample::start]; }

TEST(DeviceIdentity, Decodes) {
    const std::uint16_t registers[] = {60301, 1, 2, 123};
    const DeviceIdentity identity = DeviceIdentity::fromRegisters(registers);
    EXPECT_EQ(identity.model, 60301);
    EXPECT_EQ(identity.serial, 65538u);
    EXPECT_DOUBLE_EQ(identity.firmware, 1.23);

    DeviceIdentity other = identity;
    EXPECT_TRUE(identity.sameSupply(other));
    other.firmware = 1.24;
    EXPECT_FALSE(identity.sameSupply(other));
}

TEST(DeviceIdentity, RefusesWrongLengthBeforeModel) {
    const std::vector<std::uint16_t> three{60300, 1, 2}, five{60300, 1, 2, 3, 4}, other{60300, 1, 2, 3};
    for (const auto& registers : {three, five}) {
        try {
            DeviceIdentity::fromRegisters(registers);
            ADD_FAILURE();
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::invalid("设备身份数据不完整。"));
        }
    }
    try {
        DeviceIdentity::fromRegisters(other);
        ADD_FAILURE();
    } catch (const VarekError& error) {
        EXPECT_EQ(error, VarekError::unsupported(60300));
        EXPECT_EQ(error.description(), "暂不支持此电源型号（识别码 60300）。");
    }
}

TEST(PowerSample, DecodesEveryField) {
    auto block = statusBlock();
    at(block, 4) = 1;
    at(block, 5) = 12;
    at(block, 8) = 1500;
    at(block, 9) = 1000;
    at(block, 10) = 1499;
    at(block, 11) = 250;
    at(block, 12) = 0x0001;
    at(block, 13) = 0x86A0;
    at(block, 14) = 6400;
    at(block, 16) = 7;
    at(block, 17) = 2;
    at(block, 18) = 2;
    at(block, 38) = 0x0000;
    at(block, 39) = 0x04D2;
    at(block, 40) = 0x0001;
    at(block, 41) = 0x0000;
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

    at(block, 4) = 2;
    EXPECT_DOUBLE_EQ(PowerSample::fromRegisters(block, when).temperature, 12);
}

TEST(PowerSample, NamesAndFreshIds) {
    struct Case {
        std::uint16_t code;
        const char* protection;
        const char* mode;
    } cases[] = {{0, "保护正常", "恒压 CV"}, {1, "过压保护", "恒流 CC"}, {2, "过流保护", "模式 2"}, {3, "过温保护", "模式 3"}};
    std::set<std::string> ids;
    for (const auto& c : cases) {
        auto block = statusBlock();
        at(block, 16) = c.code;
        at(block, 17) = c.code;
        const PowerSample s = PowerSample::fromRegisters(block, {});
        EXPECT_EQ(s.protectionName(), c.protection);
        EXPECT_EQ(s.modeName(), c.mode);
        const std::string id = s.id.toString();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '4');  // version 4
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 4u);
}

TEST(PowerSample, RefusesWrongLength) {
    for (std::size_t n : {37u, 39u}) {
        try {
            PowerSample::fromRegisters(std::vector<std::uint16_t>(n), {});
            ADD_FAILURE();
        } catch (const VarekError& error) {
            EXPECT_EQ(error, VarekError::invalid("状态数据不完整。"));
        }
    }
}

TEST(Format, NumbersIgnoreTheProcessLocale) {
    // A comma-decimal locale, if installed, must not leak into the texts.
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    EXPECT_EQ(formatFixed2(1234.5), "1234.50");
    EXPECT_EQ(formatFixed(0.1, 3), "0.100");
    EXPECT_EQ(formatFixed2(0), "0.00");
    EXPECT_EQ(formatShortest(1), "1.0");
    EXPECT_EQ(formatShortest(12.4), "12.4");
    EXPECT_EQ(formatShortest(1e21), "1e+21");
    std::setlocale(LC_ALL, "C");
}

TEST(Format, Times) {
    const Timestamp t = SystemClock::from_time_t(1700000000) + std::chrono::milliseconds(42);
    EXPECT_EQ(iso8601(t), "2023-11-14T22:13:20Z");
    EXPECT_EQ(iso8601Millis(t), "2023-11-14T22:13:20.042Z");
    EXPECT_EQ(utcDate(t), "2023-11-14");
    EXPECT_EQ(localClock(t).size(), 8u);
}

}  // namespace
}  // namespace varek
