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
        {"torn row longer than one read", earlier + std::string(10000, 'x'), earlier},
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
    // A clock set back an hour does not hold the retry back for an hour.
    now -= 1h;
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

// Rotation, removal and truncation under a running recorder: from the next check on,
// rows go to the day's name again and a renamed file keeps only the rows before.
TEST_F(RecorderTest, RowsFollowTheNameAfterTheFileIsMovedOrRemoved) {
    const auto rec = dir.path() / "rec";
    const auto file = rec / "varek-4242-2026-12-05.csv";
    const auto rotated = rec / "varek-4242-2026-12-05.csv.1";
    const auto other = dir.path() / "other";
    const struct {
        const char* name;
        std::function<void()> act;
        bool resumed;
        std::filesystem::path now;      // where the day's name leads afterwards
        std::filesystem::path before;   // where the row written before stays, if anywhere
    } cases[] = {
        {"directory removed", [&] { std::filesystem::remove_all(rec); }, true, file, {}},
        {"file removed", [&] { std::filesystem::remove(file); }, true, file, {}},
        {"file renamed", [&] { std::filesystem::rename(file, rotated); }, true, file, rotated},
        {"renamed, new empty file",
         [&] {
             std::filesystem::rename(file, rotated);
             std::ofstream created(file);
         },
         true, file, rotated},
        {"truncated in place", [&] { std::filesystem::resize_file(file, 0); }, false, file, {}},
        {"directory swapped for a link", [&] {
             std::filesystem::rename(rec, dir.path() / "rec.old");
             std::filesystem::create_directory(other);
             std::filesystem::create_directory_symlink(other, rec);
         }, true, other / file.filename(), dir.path() / "rec.old" / file.filename()},
    };
    const std::string header(SampleCsv::header);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(rec);
        std::filesystem::remove_all(dir.path() / "rec.old");
        std::filesystem::remove_all(other);
        now = nearMidnight(-5s);
        SampleRecorder recorder(options(&now));
        ASSERT_FALSE(recorder.record(sampleAt(now, 1)));
        c.act();
        now += 1s;
        const auto event = recorder.record(sampleAt(now, 2));
        now += 1s;
        EXPECT_FALSE(recorder.record(sampleAt(now, 3)));
        ASSERT_EQ(event.has_value(), c.resumed);
        if (event) {
            EXPECT_EQ(event->kind, RecorderEvent::Kind::resumed);
            EXPECT_EQ(event->file, file);
        }
        EXPECT_FALSE(recorder.paused());
        EXPECT_EQ(contents(c.now),
                  header + SampleCsv::row(sampleAt(now - 1s, 2)) + SampleCsv::row(sampleAt(now, 3)));
        if (!c.before.empty()) {
            EXPECT_EQ(contents(c.before), header + SampleCsv::row(sampleAt(now - 2s, 1)));
        }
    }
}

// A FIFO put where the open file was pauses without blocking; the retries go on past
// midnight, and the new day's file resumes recording while the FIFO is left alone.
TEST_F(RecorderTest, AFifoInPlaceOfTheFilePausesUntilTheNextDay) {
    const auto file = dir.path() / "rec/varek-4242-2026-12-05.csv";
    now = nearMidnight(-5s);
    SampleRecorder recorder(options(&now));
    ASSERT_FALSE(recorder.record(sampleAt(now)));
    std::filesystem::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    now += 1s;
    const auto paused = recorder.record(sampleAt(now));
    ASSERT_TRUE(paused);
    EXPECT_EQ(paused->kind, RecorderEvent::Kind::paused);
    EXPECT_EQ(paused->file, file);
    EXPECT_TRUE(recorder.paused());
    now += 3s;
    EXPECT_FALSE(recorder.record(sampleAt(now)));
    EXPECT_TRUE(recorder.paused());
    now += 3s;
    const auto resumed = recorder.record(sampleAt(now));
    ASSERT_TRUE(resumed);
    EXPECT_EQ(resumed->kind, RecorderEvent::Kind::resumed);
    EXPECT_EQ(resumed->file, dir.path() / "rec/varek-4242-2026-12-06.csv");
    EXPECT_EQ(contents(resumed->file), std::string(SampleCsv::header) + SampleCsv::row(sampleAt(now)));
    EXPECT_TRUE(std::filesystem::is_fifo(file));
}

// Retention deletes a regular file only when its whole name is this supply's file of
// a real date older than the days kept.
TEST_F(RecorderTest, KeepDaysDeletesOnlyOlderFilesOfThisSerial) {
    const struct {
        const char* name;
        bool deleted;
        bool directory = false;
    } cases[] = {
        {"varek-4242-2026-12-01.csv", true},
        {"varek-4242-2024-02-29.csv", true},
        {"varek-4242-2026-12-04.csv", false},
        {"varek-777-2026-11-01.csv", false},
        {"varek-04242-2026-11-01.csv", false},
        {"notes.txt", false},
        {"varek-4242-!!!!!!!!!!.csv", false},
        {"varek-4242-2026-02-30.csv", false},
        {"varek-4242-2025-02-29.csv", false},
        {"varek-4242-2025-13-01.csv", false},
        {"varek-4242-2025-00-01.csv", false},
        {"varek-4242-2025-01-00.csv", false},
        {"varek-4242-2025-1-011.csv", false},
        {"varek-4242-2025+01-01.csv", false},
        {"varek-4242-2025-01-0a.csv", false},
        {"varek-4242-2026-12-01.csv.1", false},
        {"varek-4242-2026-11-30.csv", false, true},
    };
    const auto rec = dir.path() / "rec";
    std::filesystem::create_directories(rec);
    for (const auto& c : cases) {
        if (c.directory) {
            std::filesystem::create_directory(rec / c.name);
        } else {
            std::ofstream(rec / c.name) << "x\n";
        }
    }
    auto o = options(&now);
    o.keepDays = 1;
    SampleRecorder recorder(std::move(o));
    recorder.record(sampleAt(nearMidnight()));
    EXPECT_TRUE(std::filesystem::exists(rec / "varek-4242-2026-12-05.csv"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::filesystem::exists(rec / c.name), !c.deleted);
    }
}

}  // namespace
}  // namespace varek
