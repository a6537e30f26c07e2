#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "varek/protocol.hpp"

namespace varek {
namespace {

Bytes fromHex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

void expectError(const std::function<void()>& action, const VarekError& expected) {
    try {
        action();
        ADD_FAILURE() << "no error, expected: " << expected.description();
    } catch (const VarekError& error) {
        EXPECT_EQ(error, expected) << error.description();
    }
}

VarekError invalid(const char* text) { return VarekError::invalid(text); }

TEST(Crc, CheckValuesOfCrc16Modbus) {
    EXPECT_EQ(Modbus::crc({}), 0xFFFF);
    const std::string digits = "123456789";
    EXPECT_EQ(Modbus::crc(ByteView(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())), 0x4B37);
}

struct WorkedFrame {
    const char* meaning;
    std::function<Bytes()> build;
    const char* hex;
};

TEST(Frames, WorkedFramesByteForByte) {
    const std::uint16_t setpoints[] = {1500, 1000};
    const WorkedFrame frames[] = {
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
    struct Case {
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
        {"write station 247", [] { return Modbus::write(247, 18, 1); }, std::nullopt, 8},
        {"multiple station 0 before range", [&] { return Modbus::multiple(0, 0, none); }, station},
        {"multiple station 248", [&] { return Modbus::multiple(248, 0, one); }, station},
        {"multiple station 247", [&] { return Modbus::multiple(247, 0, one); }, std::nullopt, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error) {
            expectError([&] { c.build(); }, *c.error);
        } else {
            EXPECT_EQ(c.build().size(), c.length);
        }
    }
    expectError([] { Modbus::validateStation(0); }, station);
}

TEST(Validate, ChecksInOrder) {
    const Bytes good = Modbus::framed(fromHex("01 03 02 00 2A"));
    Bytes badCrc = good;
    badCrc[5] ^= 0x01;
    Bytes badCrcAndStation = badCrc;
    badCrcAndStation[0] = 9;
    struct Case {
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
        if (c.error) {
            expectError([&] { Modbus::validate(c.frame, 1, 0x03); }, *c.error);
        } else {
            EXPECT_NO_THROW(Modbus::validate(c.frame, 1, 0x03));
        }
    }
}

TEST(Registers, DecodesAndChecksCount) {
    const Bytes reply = Modbus::framed(fromHex("01 03 04 EB 8D 00 01"));
    EXPECT_EQ(Modbus::registers(reply, 1, 2), (std::vector<std::uint16_t>{60301, 1}));
    EXPECT_TRUE(Modbus::registers(Modbus::framed(fromHex("01 03 00")), 1, 0).empty());
    expectError([&] { Modbus::registers(reply, 1, 1); }, invalid("回包寄存器数量错误。"));
    // Byte count that disagrees with an otherwise consistent length.
    expectError([] { Modbus::registers(Modbus::framed(fromHex("01 03 02 EB 8D 00 01")), 1, 2); },
                invalid("回包寄存器数量错误。"));
    expectError([&] { Modbus::registers(reply, 1, -1); }, invalid("回包寄存器数量错误。"));
    expectError([&] { Modbus::registers(reply, 2, 2); }, invalid("回包站号不一致。"));
}

TEST(WriteAcknowledgement, EchoRules) {
    const Bytes on = Modbus::write(1, 18, 1);
    EXPECT_NO_THROW(Modbus::writeAcknowledgement(on, on));
    const std::uint16_t values[] = {1500, 1000};
    const Bytes multiple = Modbus::multiple(1, 8, values);
    EXPECT_NO_THROW(Modbus::writeAcknowledgement(fromHex("01 10 00 08 00 02 C0 0A"), multiple));

    expectError([&] { Modbus::writeAcknowledgement(Modbus::write(1, 18, 0), on); },
                invalid("写回显地址或数据不一致。"));
    // A short request is refused before the reply is looked at, even a garbage one.
    expectError([&] { Modbus::writeAcknowledgement(Bytes{1}, Bytes(on.begin(), on.begin() + 7)); },
                invalid("写请求无效。"));
    expectError([&] { Modbus::writeAcknowledgement(Modbus::framed(fromHex("01 86 03")), on); },
                VarekError::exception(3));
    expectError([&] { Modbus::writeAcknowledgement(Modbus::framed(fromHex("01 06 00 12 00 01 00")), on); },
                invalid("写回显地址或数据不一致。"));
}

TEST(CentiUnits, ParsesTypedText) {
    const VarekError range60 = invalid("数值须在 0–60 之间。");
    const VarekError steps = invalid("最多输入两位小数，步进为 0.01。");
    struct Case {
        const char* text;
        double maximum;
        std::optional<std::uint16_t> value;
        std::optional<VarekError> error;
    } cases[] = {
        {" 12.3 ", 60, 1230, {}},
        {"\t12.3\n", 60, 1230, {}},
        {"0.29", 60, 29, {}},
        {"1e1", 60, 1000, {}},
        {"-0", 60, 0, {}},
        {"60", 60, 6000, {}},
        {"30", 30, 3000, {}},
        {"0.07", 30, 7, {}},
        {"12.345", 60, {}, steps},
        {"60.01", 60, {}, range60},
        {"-1", 60, {}, range60},
        {"", 60, {}, range60},
        {"   ", 60, {}, range60},
        {"abc", 60, {}, range60},
        {"nan", 60, {}, range60},
        {"inf", 60, {}, range60},
        {"12V", 60, {}, range60},
        {"1 2", 60, {}, range60},
        {"0x10", 60, {}, range60},
        {"31", 30, {}, invalid("数值须在 0–30 之间。")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        if (c.error) {
            expectError([&] { Modbus::centiUnits(c.text, c.maximum); }, *c.error);
        } else {
            EXPECT_EQ(Modbus::centiUnits(c.text, c.maximum), *c.value);
        }
    }
}

TEST(CentiUnits, TrimsUnicodeSpaceAroundTheNumber) {
    // An ideographic space and a no-break space, as a Chinese keyboard may produce.
    EXPECT_EQ(Modbus::centiUnits("\u300012.5\u00A0", 60), 1250);
}

TEST(FrameBuffer, ResynchronisesAndWaitsForTheRest) {
    const Bytes reply = Modbus::framed(fromHex("01 03 02 00 2A"));
    FrameBuffer noise;
    noise.append(fromHex("FF 00"));
    noise.append(reply);
    EXPECT_EQ(noise.next(1, 0x03), reply);
    EXPECT_TRUE(noise.bytes().empty());

    FrameBuffer split;
    split.append(ByteView(reply).first(3));
    EXPECT_EQ(split.next(1, 0x03), std::nullopt);
    EXPECT_EQ(split.bytes().size(), 3u);  // the start of a reply is kept
    split.append(ByteView(reply).subspan(3));
    EXPECT_EQ(split.next(1, 0x03), reply);

    // A station/function match whose byte count cannot be a reply is skipped byte by byte.
    FrameBuffer skip;
    skip.append(fromHex("01 03 FB"));
    skip.append(reply);
    EXPECT_EQ(skip.next(1, 0x03), reply);

    FrameBuffer exception;
    exception.append(Modbus::framed(fromHex("01 86 02")));
    expectError([&] { exception.next(1, 0x06); }, VarekError::exception(2));
    EXPECT_TRUE(exception.bytes().empty());  // a failed candidate stays consumed
}

TEST(FrameBuffer, FailedCandidateIsConsumedAndKeepsTheLimit) {
    Bytes bad = Modbus::write(1, 18, 1);
    bad.back() ^= 0xFF;
    FrameBuffer buffer;
    buffer.append(bad);
    expectError([&] { buffer.next(1, 0x06); }, VarekError::crc());
    EXPECT_TRUE(buffer.bytes().empty());

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
