#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "varek/scpi_line_buffer.hpp"

namespace varek {
namespace {

using Status = SCPILineBuffer::Status;
const std::string needMore = "<needMore>";
const std::string rejected = "<reject>";

/// Appends each piece and takes lines until the buffer stops giving them; records
/// every answer, lines as their text.
std::vector<std::string> feed(SCPILineBuffer& buffer, const std::vector<std::string>& pieces) {
    std::vector<std::string> answers;
    for (const std::string& piece : pieces) {
        buffer.append(piece);
        std::string line;
        Status status;
        while ((status = buffer.next(line)) == Status::line) answers.push_back(line);
        answers.push_back(status == Status::reject ? rejected : needMore);
    }
    return answers;
}

TEST(SCPILineBuffer, CutsLinesWhateverTheArrivalPattern) {
    const std::string full(SCPILineBuffer::limit, 'x');
    const struct {
        const char* name;
        std::vector<std::string> pieces;
        std::vector<std::string> answers;
    } cases[] = {
        {"two lines in one append", {"VOLT?\nCURR?\n"}, {"VOLT?", "CURR?", needMore}},
        {"CR-LF keeps the CR", {"*IDN?\r\n"}, {"*IDN?\r", needMore}},
        {"split over appends", {"ME", "AS:VO", "LT?\n"}, {needMore, needMore, "MEAS:VOLT?", needMore}},
        {"LF arrives alone", {"OUTP ON", "\n"}, {needMore, "OUTP ON", needMore}},
        {"empty lines", {"\n\r\n\n"}, {"", "\r", "", needMore}},
        {"trailing partial line is held", {"a\nb"}, {"a", needMore}},
        {"0x80 rejects only when its line comes up", {"ok\nb\x80" "d\nlater\n"}, {"ok", rejected}},
        {"0xFF before its LF rejects", {"ok\nb\xff", "d\n"}, {"ok", rejected, rejected}},
        {"limit bytes and LF", {full + "\n"}, {full, needMore}},
        {"limit bytes, LF later", {full, "\nnext\n"}, {needMore, full, "next", needMore}},
        {"limit + 1 bytes and LF", {full + "x\n"}, {rejected}},
        {"9000 bytes without LF", {std::string(9000, 'x')}, {rejected}},
        {"limit + 1 bytes in two appends", {full.substr(0, 4096), full.substr(4096) + "x"}, {needMore, rejected}},
        {"a line after a rejected state", {"\x80\n", "ok\n"}, {rejected, rejected}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SCPILineBuffer buffer;
        EXPECT_EQ(feed(buffer, c.pieces), c.answers);
    }
}

TEST(SCPILineBuffer, WantsMoreUntilLimitBytesAreHeld) {
    SCPILineBuffer buffer;
    std::string line;
    buffer.append(std::string(SCPILineBuffer::limit - 1, 'x'));
    EXPECT_TRUE(buffer.wantsMore());
    buffer.append("x");
    EXPECT_EQ(buffer.size(), SCPILineBuffer::limit);
    EXPECT_FALSE(buffer.wantsMore());
    EXPECT_EQ(buffer.next(line), Status::needMore);
    buffer.append("\nVOLT?\n");
    ASSERT_EQ(buffer.next(line), Status::line);
    EXPECT_EQ(line.size(), SCPILineBuffer::limit);
    EXPECT_EQ(buffer.size(), 6u);
    EXPECT_TRUE(buffer.wantsMore());
}

TEST(SCPILineBuffer, ClearForgetsBytesAndRejection) {
    SCPILineBuffer buffer;
    std::string line = "untouched";
    buffer.append("\x80\n");
    EXPECT_EQ(buffer.next(line), Status::reject);
    EXPECT_EQ(line, "untouched");
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    buffer.append("ok\n");
    EXPECT_EQ(buffer.next(line), Status::line);
    EXPECT_EQ(line, "ok");
}

// Odd piece sizes land the compaction of taken bytes in the middle of lines.
TEST(SCPILineBuffer, ManyLinesInUnevenPiecesComeOutInOrder) {
    std::vector<std::string> sent;
    std::string stream;
    for (int i = 0; i < 5000; ++i) {
        sent.push_back("MEAS:VOLT?" + std::string(static_cast<std::size_t>(i % 37), ';') + std::to_string(i));
        stream += sent.back() + '\n';
    }
    SCPILineBuffer buffer;
    std::vector<std::string> taken;
    std::string line;
    std::size_t appended = 0;
    std::size_t consumed = 0;
    for (std::size_t piece = 1; appended < stream.size(); piece = piece % 13 + 1) {
        const auto bytes = std::string_view(stream).substr(appended, piece);
        buffer.append(bytes);
        appended += bytes.size();
        while (buffer.next(line) == Status::line) {
            taken.push_back(line);
            consumed += line.size() + 1;
        }
        ASSERT_EQ(buffer.size(), appended - consumed);
    }
    EXPECT_EQ(taken, sent);
    EXPECT_EQ(buffer.size(), 0u);
}

}  // namespace
}  // namespace varek
