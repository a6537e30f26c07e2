// CSV export, the evidence snapshot, the bounded log and history, and the command line.
#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <fstream>
#include <thread>

#include "power_model_fixture.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"

namespace varek::test {
namespace {

const Timestamp example = Timestamp{} + std::chrono::seconds(1769847300) + 500ms;  // 2026-01-31T08:15:00.500Z

PowerSample sampleAt(Timestamp time, double voltage = 12.4) {
    PowerSample s;
    s.time = time;
    s.voltage = voltage;
    s.current = 1.0;
    s.power = 12.4;
    s.voltageSet = 12.4;
    s.currentSet = 1.0;
    s.outputEnabled = true;
    return s;
}

std::string readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

TEST(PowerModelCSV, HeaderThenOneExactLinePerSampleAndTheUtcFileName) {
    auto off = sampleAt(example + 1s, 0.0);
    off.outputEnabled = false;
    off.protection = 2;
    off.mode = 1;
    off.current = 12.34;
    EXPECT_EQ(PowerModel::csv({sampleAt(example), off}),
              "time,voltage_V,current_A,power_W,voltage_set_V,current_limit_A,output_enabled,protection,mode\n"
              "2026-01-31T08:15:00.500Z,12.4,1.0,12.4,12.4,1.0,true,0,0\n"
              "2026-01-31T08:15:01.500Z,0.0,12.34,12.4,12.4,1.0,false,2,1\n");
    // 23:30 UTC is already the next day east of UTC.
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    EXPECT_EQ(PowerModel::defaultExportName(example + 15h + 15min), QStringLiteral("VAREK-2026-01-31.csv"));
    unsetenv("TZ");
    tzset();
}

TEST_F(PowerModelTest, ExportWritesAllSamplesOrLeavesTheTargetAlone) {
    start();
    saveLocation = home.filePath("out.csv");
    model->exportCSV();  // nothing stored: no dialog
    EXPECT_TRUE(proposedNames.isEmpty());
    for (int i = 0; i < 3; ++i) PowerModelTestAccess::accept(*model, sampleAt(example + std::chrono::seconds(i)));
    model->exportCSV();
    EXPECT_EQ(proposedNames, QStringList{PowerModel::defaultExportName()});
    EXPECT_EQ(readFile(saveLocation), PowerModel::csv(model->samples()));
    EXPECT_EQ(lastLog(), "已导出 3 条采样。");

    saveLocation.clear();  // cancelled
    model->exportCSV();
    EXPECT_EQ(model->events().size(), 1);

    // A directory cannot be replaced by the new file; it and its contents stay.
    ASSERT_TRUE(QDir(home.path()).mkpath("taken.csv/inside"));
    for (const QString& target : {home.filePath("taken.csv"), home.filePath("missing/out.csv")}) {
        saveLocation = target;
        model->clearErrorMessage();
        model->exportCSV();
        ASSERT_TRUE(model->errorMessage()) << target.toStdString();
        EXPECT_TRUE(model->errorMessage()->startsWith(QStringLiteral("导出失败：")));
        EXPECT_GT(model->errorMessage()->size(), 5);
    }
    EXPECT_TRUE(QDir(home.filePath("taken.csv/inside")).exists());
    EXPECT_EQ(QDir(home.path()).entryList(QDir::Files), QStringList{"out.csv"});  // no temporary left
    EXPECT_EQ(model->events().size(), 1);
}

TEST_F(PowerModelTest, LogAndHistoryKeepOnlyTheNewest) {
    start();
    for (int i = 1; i <= 101; ++i) PowerModelTestAccess::log(*model, QString::number(i));
    ASSERT_EQ(model->events().size(), 100);
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d  101$").match(model->events().first()).hasMatch());
    EXPECT_EQ(model->events().last().mid(10), QStringLiteral("2"));
    for (int i = 0; i <= PowerModel::historyLimit; ++i) PowerModelTestAccess::accept(*model, sampleAt(example, i));
    ASSERT_EQ(model->samples().size(), 36000u);
    EXPECT_EQ(model->samples().front().voltage, 1);
}

TEST_F(PowerModelTest, CommandLineSetsRateEvidenceAndConnects) {
    listPorts = [] { return std::vector<std::string>{}; };
    start({QStringLiteral("--refresh"), QStringLiteral("3")});
    EXPECT_EQ(model->refreshRate(), 5);
    model.reset();

    const QString evidence = home.filePath("evidence.json");
    start({QStringLiteral("--refresh"), QStringLiteral("+10"), QStringLiteral("--evidence"), evidence,
           QStringLiteral("--connect"), QString::fromStdString(sim->path()), QStringLiteral("--refresh")});
    EXPECT_EQ(model->refreshRate(), 10);
    EXPECT_EQ(model->ports(), QStringList{QString::fromStdString(sim->path())});
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
