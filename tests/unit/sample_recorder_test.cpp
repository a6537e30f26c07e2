// SampleRecorder over real files in a private directory, with an injected clock.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "varek/format.hpp"
#include "varek/sample_csv.hpp"
#include "varek/sample_recorder.hpp"
#include "temp_dir.hpp"

namespace varek {
namespace {

using namespace std::chrono_literals;

/// 2026-12-05T23:59:59.500Z plus `offset`.
Timestamp nearMidnight(std::chrono::milliseconds offset = 0ms) {
    return Timestamp(std::chrono::seconds(1796515199)) + 500ms + offset;
}

PowerSample sampleAt(Timestamp time, double voltage = 12.5) {
    PowerSample sample;
    sample.time = time;
    sample.voltage = voltage;
    sample.voltageSet = 12.5;
    sample.currentSet = 1.2;
    return sample;
}

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class RecorderTest : public ::testing::Test {
protected:
    SampleRecorder::Options options(Timestamp* now) {
        SampleRecorder::Options o;
        o.directory = dir.path() / "rec";
        o.serial = 4242;
        o.clock = [now] { return *now; };
        return o;
    }

    test::TempDir dir;
    Timestamp now = nearMidnight();
};

TEST(SampleCsvTest, RowIsTheExportRow) {
    PowerSample s = sampleAt(nearMidnight(), 12.0);
    s.current = 0.25;
    s.power = 3;
    s.outputEnabled = true;
    s.protection = 2;
    s.mode = 1;
    EXPECT_EQ(SampleCsv::row(s), "2026-12-05T23:59:59.500Z,12.0,0.25,3.0,12.5,1.2,true,2,1\n");
    EXPECT_EQ(SampleCsv::document({s}), std::string(SampleCsv::header) + SampleCsv::row(s));
}

TEST(SampleCsvTest, WholeLinesStopsAtTheLastNewline) {
    const struct {
        std::string_view text;
        std::size_t whole;
    } cases[] = {{"", 0}, {"torn", 0}, {"a\n", 2}, {"a\nb", 2}, {"a\nb\n", 4}, {"\n\nx", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(SampleCsv::wholeLines(c.text), c.whole);
    }
}

TEST_F(RecorderTest, MidnightStartsANewFileWithItsOwnHeader) {
    {
        SampleRecorder recorder(options(&now));
        EXPECT_FALSE(recorder.record(sampleAt(nearMidnight())));
        now = nearMidnight(1s);
        EXPECT_FALSE(recorder.record(sampleAt(nearMidnight(1s))));
    }
    const auto header = std::string(SampleCsv::header);
    EXPECT_EQ(contents(dir.path() / "rec/varek-4242-2026-12-05.csv"), header + SampleCsv::row(sampleAt(nearMidnight())));
    EXPECT_EQ(contents(dir.path() / "rec/varek-4242-2026-12-06.csv"),
              header + SampleCsv::row(sampleAt(nearMidnight(1s))));
}

TEST_F(RecorderTest, AppendsToAnExistingFileAfterCuttingATornRow) {
    const auto file = dir.path() / "rec/varek-4242-2026-12-05.csv";
    const std::string earlier = std::string(SampleCsv::header) + SampleCsv::row(sampleAt(nearMidnight(-5s)));
    const struct {
        const char* name;
        std::string before;
        std::string kept;
    } cases[] = {
        {"whole rows", earlier, earlier},
        {"torn row", earlier + "2026-12-05T23:59:5", earlier},
        {"torn header", "time,volt", std::string(SampleCsv::header)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.before;
        {
            SampleRecorder recorder(options(&now));
            recorder.record(sampleAt(nearMidnight()));
        }
        EXPECT_EQ(contents(file), c.kept + SampleCsv::row(sampleAt(nearMidnight())));
    }
}

TEST_F(RecorderTest, RepairFindsTheNewlineBeyondOneChunk) {
    const auto file = dir.path() / "long.csv";
    const std::string whole = "a\n" + std::string(10000, 'x');
    std::ofstream(file, std::ios::binary) << whole;
    EXPECT_EQ(SampleRecorder::repair(file), 2u);
    EXPECT_EQ(contents(file), "a\n");
    EXPECT_EQ(SampleRecorder::repair(dir.path() / "absent.csv"), 0u);
}

TEST_F(RecorderTest, AFileWhereTheDirectoryShouldBePausesThenResumes) {
    std::ofstream(dir.path() / "rec") << "in the way";
    SampleRecorder recorder(options(&now));
    const auto paused = recorder.record(sampleAt(nearMidnight()));
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->kind, RecorderEvent::Kind::paused);
    EXPECT_TRUE(recorder.paused());
    // One report per pause, and nothing is tried again before the retry delay.
    EXPECT_FALSE(recorder.record(sampleAt(nearMidnight(100ms))));
    std::filesystem::remove(dir.path() / "rec");
    now += 4s;
    const auto resumed = recorder.record(sampleAt(nearMidnight(200ms)));
    ASSERT_TRUE(resumed);
    EXPECT_EQ(resumed->kind, RecorderEvent::Kind::resumed);
    EXPECT_EQ(contents(dir.path() / "rec/varek-4242-2026-12-05.csv"),
              std::string(SampleCsv::header) + SampleCsv::row(sampleAt(nearMidnight(200ms))));
}

// Whatever stands at the day's file name instead of a regular file pauses recording:
// nothing is written through a link, and a FIFO does not hang the recorder.
TEST_F(RecorderTest, NoRegularFileAtTheNamePausesWithoutWritingThroughIt) {
    const auto target = dir.path() / "elsewhere.txt";
    const struct {
        const char* name;
        std::function<void(const std::filesystem::path&)> plant;
    } cases[] = {
        {"link to another file", [&](const auto& at) { std::filesystem::create_symlink(target, at); }},
        {"dangling link", [&](const auto& at) { std::filesystem::create_symlink(dir.path() / "none", at); }},
        {"fifo", [](const auto& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
        {"directory", [](const auto& at) { std::filesystem::create_directory(at); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(dir.path() / "rec");
        std::ofstream(target) << "keep me\n";
        std::filesystem::create_directories(dir.path() / "rec");
        const auto path = dir.path() / "rec/varek-4242-2026-12-05.csv";
        c.plant(path);
        SampleRecorder recorder(options(&now));
        const auto event = recorder.record(sampleAt(nearMidnight()));
        ASSERT_TRUE(event);
        EXPECT_EQ(event->kind, RecorderEvent::Kind::paused);
        EXPECT_EQ(contents(target), "keep me\n");
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "none"));
    }
}

TEST_F(RecorderTest, AFileSizeLimitKeepsOnlyWholeRows) {
    const auto file = dir.path() / "rec/varek-4242-2026-12-05.csv";
    const std::string first = std::string(SampleCsv::header) + SampleCsv::row(sampleAt(nearMidnight()));
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    std::optional<RecorderEvent> event;
    {
        SampleRecorder recorder(options(&now));
        recorder.record(sampleAt(nearMidnight()));
        // Room for part of one more row only: the part that went out is taken back.
        rlimit limit{first.size() + 10, old.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        event = recorder.record(sampleAt(nearMidnight(100ms)));
        ::setrlimit(RLIMIT_FSIZE, &old);
    }
    std::signal(SIGXFSZ, previous);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->kind, RecorderEvent::Kind::paused);
    EXPECT_EQ(event->reason, "无法写入记录文件：File too large");
    EXPECT_EQ(contents(file), first);
}

TEST_F(RecorderTest, KeepDaysDeletesOnlyOlderFilesOfThisSerial) {
    const auto rec = dir.path() / "rec";
    std::filesystem::create_directories(rec);
    for (const char* name : {"varek-4242-2026-12-01.csv", "varek-4242-2026-12-04.csv", "varek-777-2026-11-01.csv",
                             "notes.txt"}) {
        std::ofstream(rec / name) << "x\n";
    }
    auto o = options(&now);
    o.keepDays = 1;
    SampleRecorder recorder(std::move(o));
    recorder.record(sampleAt(nearMidnight()));
    EXPECT_FALSE(std::filesystem::exists(rec / "varek-4242-2026-12-01.csv"));
    for (const char* name : {"varek-4242-2026-12-04.csv", "varek-777-2026-11-01.csv", "notes.txt",
                             "varek-4242-2026-12-05.csv"}) {
        EXPECT_TRUE(std::filesystem::exists(rec / name)) << name;
    }
}

}  // namespace
}  // namespace varek
