// CSV export, the evidence snapshot, the bounded history and the command line.
#include <QDir>
#include <QFile>

#include <fstream>
#include <thread>

#include "model_files.hpp"
#include "power_model_fixture.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek::test {
namespace {

const Timestamp example = Timestamp{} + std::chrono::seconds(1769847300) + 500ms;  // 2026-01-31T08:15:00.500Z

PowerSample sampleAt(Timestamp time, double voltage = 12.4) {
    return {.id = {}, .time = time, .voltageSet = 12.4, .currentSet = 1.0, .voltage = voltage, .current = 1.0, .power = 12.4,
            .outputEnabled = true};
}

std::string readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The rows are the recorder's (sample_recorder_test); the name is the UTC date.
TEST(PowerModelCSV, TheFileNameIsTheUtcDate) {
    // 23:30 UTC is already the next day east of UTC.
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    EXPECT_EQ(defaultExportName(example + 15h + 15min), QStringLiteral("VAREK-2026-01-31.csv"));
    unsetenv("TZ");
    tzset();
}

TEST_F(PowerModelTest, ExportWritesAllSamplesOrLeavesTheTargetAlone) {
    start();
    saveLocation = homeFile("out.csv");
    for (int i = 0; i < 3; ++i) model->state().accept(sampleAt(example + std::chrono::seconds(i)));
    model->exportCSV();
    EXPECT_EQ(proposedNames, QStringList{defaultExportName()});
    EXPECT_EQ(readFile(saveLocation), samplesCsv(model->samples()));
    EXPECT_EQ(lastLog(), "已导出 3 条采样。");

    // A directory cannot be replaced by the new file; it and its contents stay.
    ASSERT_TRUE(QDir(homeFile(".")).mkpath("taken.csv/inside"));
    saveLocation = homeFile("taken.csv");
    model->exportCSV();
    ASSERT_TRUE(model->errorMessage());
    EXPECT_TRUE(model->errorMessage()->startsWith(QStringLiteral("导出失败：")));
    EXPECT_GT(model->errorMessage()->size(), 5);
    EXPECT_TRUE(QDir(homeFile("taken.csv/inside")).exists());
    EXPECT_EQ(QDir(homeFile(".")).entryList(QDir::Files), QStringList{"out.csv"});  // no temporary left
}

TEST_F(PowerModelTest, HistoryAndActivityLogKeepOnlyTheNewest) {
    start();
    for (int i = 0; i <= PowerModel::historyLimit; ++i) model->state().accept(sampleAt(example, i));
    ASSERT_EQ(model->samples().size(), 36000u);
    EXPECT_EQ(model->samples().front().voltage, 1);
    EXPECT_EQ(model->samples().back().voltage, 36000);

    for (int i = 0; i <= PowerModel::eventLimit; ++i) model->state().log(QString::number(i));
    ASSERT_EQ(model->events().size(), 100);
    EXPECT_EQ(lastLog(), "100");  // newest first
    EXPECT_EQ(model->events().back().mid(10), QStringLiteral("1"));
}

TEST_F(PowerModelTest, CommandLineSetsRateEvidenceAndConnects) {
    sim = std::make_unique<sim::SupplySimulator>();
    listPorts = [] { return std::vector<std::string>{}; };
    const QString evidence = homeFile("evidence.json");
    start({QStringLiteral("--refresh"), QStringLiteral("+10"), QStringLiteral("--evidence"), evidence,
           QStringLiteral("--connect"), QString::fromStdString(sim->path()), QStringLiteral("--refresh")});
    EXPECT_EQ(model->refreshRate(), 10);
    ASSERT_TRUE(waitFor([&] { return model->connected(); }));

    // Read while it is rewritten at 10 Hz: every read is a whole document.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, broken{0};
    std::thread reader([&] {
        while (!stop) {
            std::ifstream in(evidence.toStdString());
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (text.empty()) continue;
            ++reads;
            broken += Json::parse(text, nullptr, false).is_discarded();
        }
    });
    waitForSamples(model->samples().size() + 10);
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(broken.load(), 0);

    model->disconnect();
    const Json snapshot = Json::parse(readFile(evidence));
    const PowerSample& last = *model->latest();
    EXPECT_EQ(snapshot, (Json{{"actual_hz", snapshot["actual_hz"]}, {"current_A", last.current},
                              {"current_limit_A", last.currentSet}, {"firmware", 1.23}, {"model", 60301},
                              {"output_enabled", last.outputEnabled}, {"power_W", last.power},
                              {"samples", model->samples().size()}, {"source_sha", platform::sourceSHA()},
                              {"target_hz", 10}, {"timestamp", iso8601(last.time)}, {"voltage_V", last.voltage},
                              {"voltage_set_V", last.voltageSet}}));
    EXPECT_GT(snapshot["actual_hz"].get<double>(), 0);
}

}  // namespace
}  // namespace varek::test
