#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "varek/protocol.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using test::expectVarekError;

Bytes fromHex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

VarekError invalid(const char* text) { return VarekError::invalid(text); }

TEST(Crc, CheckValuesOfCrc16Modbus) {
    EXPECT_EQ(Modbus::crc({}), 0xFFFF);
    const std::string digits = "123456789";
    EXPECT_EQ(Modbus::crc(ByteView(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())), 0x4B37);
}

TEST(Frames, WorkedFramesByteForByte) {
    const std::uint16_t setpoints[] = {1500, 1000};
    const struct {
        const char* meaning;
        std::function<Bytes()> build;
        const char* hex;
    } frames[] = {
        {"identity", [] { return Modbus::read(1, 0, 4); }, "01 03 00 00 00 04 44 09"},
        {"status", [] { return Modbus::read(1, 4, 38); }, "01 03 00 04 00 26 85 D1"},
        {"setpoints", [] { return Modbus::read(1, 8, 2); }, "01 03 00 08 00 02 45 C9"},
        {"output read", [] { return Modbus::read(1, 18, 1); }, "01 03 00 12 00 01 24 0F"},
        {"output on", [] { return Modbus::write(1, 18, 1); }, "01 06 00 12 00 01 E8 0F"},
        {"output off", [] { return Modbus::write(1, 18, 0); }, "01 06 00 12 00 00 29 CF"},
        {"write 8-9", [&] { return Modbus::multiple(1, 8, setpoints); }, "01 10 00 08 00 02 04 05 DC 03 E8 33 81"},
        {"write reply", [] { return Modbus::framed(fromHex("01 10 00 08 00 02")); }, "01 10 00 08 00 02 C0 0A"},
    };
    for (const auto& frame : frames) EXPECT_EQ(frame.build(), fromHex(frame.hex)) << frame.meaning;
}

TEST(Frames, BuilderRangesAndStationChecks) {
    const std::vector<std::uint16_t> none, one{1}, max(123, 7), tooMany(124, 7), hundred(100, 0);
    const VarekError station = invalid("站号须为 1–247。");
    const VarekError readRange = invalid("读取范围无效。");
    const VarekError writeRange = invalid("写入范围无效。");
    const struct {
        const char* name;
        std::function<Bytes()> build;
        std::optional<VarekError> error;
        std::size_t length = 0;
    } cases[] = {
        {"read count 0", [] { return Modbus::read(1, 0, 0); }, readRange},
        {"read count 126", [] { return Modbus::read(1, 0, 126); }, readRange},
        {"read count 125", [] { return Modbus::read(1, 0, 125); }, std::nullopt, 8},
        {"read ends at 65536", [] { return Modbus::read(1, 65436, 100); }, std::nullopt, 8},
        {"read past 65535", [] { return Modbus::read(1, 65437, 100); }, readRange},
        {"multiple empty", [&] { return Modbus::multiple(1, 0, none); }, writeRange},
        {"multiple 124", [&] { return Modbus::multiple(1, 0, tooMany); }, writeRange},
        {"multiple 123", [&] { return Modbus::multiple(1, 0, max); }, std::nullopt, 255},
        {"multiple past 65535", [&] { return Modbus::multiple(1, 65437, hundred); }, writeRange},
        {"multiple ends at 65536", [&] { return Modbus::multiple(1, 65436, hundred); }, std::nullopt, 209},
        {"read station 0 before range", [] { return Modbus::read(0, 0, 0); }, station},
        {"read station 248", [] { return Modbus::read(248, 0, 1); }, station},
        {"read station 247", [] { return Modbus::read(247, 0, 1); }, std::nullopt, 8},
        {"write station 0", [] { return Modbus::write(0, 18, 1); }, station},
        {"write station 248", [] { return Modbus::write(248, 18, 1); }, station},
        {"multiple station 0 before range", [&] { return Modbus::multiple(0, 0, none); }, station},
        {"multiple station 248", [&] { return Modbus::multiple(248, 0, one); }, station},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error) expectVarekError([&] { c.build(); }, *c.error);
        else EXPECT_EQ(c.build().size(), c.length);
    }
}

TEST(Validate, ChecksInOrder) {
    const Bytes good = Modbus::framed(fromHex("01 03 02 00 2A"));
    Bytes badCrc = good;
    badCrc[5] ^= 0x01;
    Bytes badCrcAndStation = badCrc;
    badCrcAndStation[0] = 9;
    const struct {
        const char* name;
        Bytes frame;
        std::optional<VarekError> error;
    } cases[] = {
        {"4 bytes", fromHex("01 03 02 00"), invalid("回包不完整。")},
        {"crc altered", badCrc, VarekError::crc()},
        {"crc reported before station", badCrcAndStation, VarekError::crc()},
        {"other station", Modbus::framed(fromHex("02 03 02 00 2A")), invalid("回包站号不一致。")},
        {"exception 2", Modbus::framed(fromHex("01 83 02")), VarekError::exception(2)},
        {"6-byte exception", Modbus::framed(fromHex("01 83 02 00")), invalid("异常回包长度错误。")},
        {"other function", Modbus::framed(fromHex("01 04 02 00 2A")), invalid("回包功能码不一致。")},
        {"good", good, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error) expectVarekError([&] { Modbus::validate(c.frame, 1, 0x03); }, *c.error);
        else EXPECT_NO_THROW(Modbus::validate(c.frame, 1, 0x03));
    }
}

TEST(Registers, DecodesAndChecksCount) {
    const Bytes reply = Modbus::framed(fromHex("01 03 04 EB 8D 00 01"));
    const VarekError count = invalid("回包寄存器数量错误。");
    EXPECT_EQ(Modbus::registers(reply, 1, 2), (std::vector<std::uint16_t>{60301, 1}));
    expectVarekError([&] { Modbus::registers(reply, 1, 1); }, count);
    // Byte count that disagrees with an otherwise consistent length.
    expectVarekError([] { Modbus::registers(Modbus::framed(fromHex("01 03 02 EB 8D 00 01")), 1, 2); }, count);
}

TEST(WriteAcknowledgement, EchoRules) {
    const Bytes on = Modbus::write(1, 18, 1);
    const std::uint16_t values[] = {1500, 1000};
    EXPECT_NO_THROW(Modbus::writeAcknowledgement(fromHex("01 10 00 08 00 02 C0 0A"), Modbus::multiple(1, 8, values)));
    expectVarekError([&] { Modbus::writeAcknowledgement(Modbus::write(1, 18, 0), on); }, invalid("写回显地址或数据不一致。"));
    // A short request is refused before the reply is looked at, even a garbage one.
    expectVarekError([&] { Modbus::writeAcknowledgement(Bytes{1}, Bytes(on.begin(), on.begin() + 7)); }, invalid("写请求无效。"));
    expectVarekError([&] { Modbus::writeAcknowledgement(Modbus::framed(fromHex("01 86 03")), on); }, VarekError::exception(3));
}

TEST(CentiUnits, ParsesTypedText) {
    const VarekError range60 = invalid("数值须在 0–60 之间。");
    const struct {
        const char* text;
        double maximum;
        std::optional<std::uint16_t> value;
        std::optional<VarekError> error;
    } cases[] = {
        {" 12.3 ", 60, 1230, {}},
        {"\u300012.5\u00A0", 60, 1250, {}},  // ideographic and no-break space from a Chinese keyboard
        {"0.29", 60, 29, {}},
        {"1e1", 60, 1000, {}},
        {"-0", 60, 0, {}},
        {"60", 60, 6000, {}},
        {"12.345", 60, {}, invalid("最多输入两位小数，步进为 0.01。")},
        {"60.01", 60, {}, range60},
        {"-1", 60, {}, range60},
        {"", 60, {}, range60},
        {"nan", 60, {}, range60},
        {"12V", 60, {}, range60},
        {"1 2", 60, {}, range60},
        {"0x10", 60, {}, range60},
        {"31", 30, {}, invalid("数值须在 0–30 之间。")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        if (c.error) expectVarekError([&] { Modbus::centiUnits(c.text, c.maximum); }, *c.error);
        else EXPECT_EQ(Modbus::centiUnits(c.text, c.maximum), *c.value);
    }
}

TEST(FrameBuffer, ResynchronisesWaitsConsumesAndKeepsTheLimit) {
    const Bytes reply = Modbus::framed(fromHex("01 03 02 00 2A"));
    // Noise, and a station/function match whose byte count cannot be a reply (251+), are skipped.
    for (const char* junk : {"FF 00", "01 03 FB"}) {
        FrameBuffer buffer;
        buffer.append(fromHex(junk));
        buffer.append(reply);
        EXPECT_EQ(buffer.next(1, 0x03), reply) << junk;
        EXPECT_TRUE(buffer.bytes().empty());
    }
    FrameBuffer split;
    split.append(ByteView(reply).first(3));
    EXPECT_EQ(split.next(1, 0x03), std::nullopt);
    EXPECT_EQ(split.bytes().size(), 3u);  // the start of a reply is kept
    split.append(ByteView(reply).subspan(3));
    EXPECT_EQ(split.next(1, 0x03), reply);

    Bytes bad = Modbus::write(1, 18, 1);
    bad.back() ^= 0xFF;
    FrameBuffer failed;
    failed.append(bad);
    expectVarekError([&] { failed.next(1, 0x06); }, VarekError::crc());
    EXPECT_TRUE(failed.bytes().empty());  // a failed candidate stays consumed

    Bytes many(5000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint8_t>(i);
    FrameBuffer full;
    full.append(ByteView(many).first(1000));
    full.append(ByteView(many).subspan(1000));
    ASSERT_EQ(full.bytes().size(), FrameBuffer::limit);
    EXPECT_TRUE(std::equal(full.bytes().begin(), full.bytes().end(), many.end() - 4096));
}

}  // namespace
}  // namespace varek
