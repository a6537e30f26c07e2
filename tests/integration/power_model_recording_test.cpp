// Continuous recording: core's recorder fed with every sample the model accepts.
#include <QDir>
#include <QFile>

#include "model_files.hpp"
#include "power_model_fixture.hpp"
#include "varek/sample_csv.hpp"

namespace varek::test {
namespace {

// The recording files of `folder` as one CSV document (header once, rows by file name).
std::string recorded(const QString& folder) {
    std::string rows;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("varek-12345-*.csv")}, QDir::Files, QDir::Name)) {
        QFile file(QDir(folder).filePath(name));
        if (!file.open(QIODevice::ReadOnly)) return {};
        rows += file.readAll().toStdString().substr(SampleCsv::header.size());
    }
    return std::string(SampleCsv::header) + rows;
}

// The rows of `document` after its header.
std::string rowsOf(const std::string& document) { return document.substr(SampleCsv::header.size()); }

TEST_F(PowerModelTest, RecordingWritesEveryAcceptedSampleAndResumesAfterARestart) {
    recordingFolder = homeFile("recordings");
    start({QStringLiteral("--refresh"), QStringLiteral("10")});
    model->startRecording();  // before connecting: it waits for the supply
    EXPECT_TRUE(model->recording());
    EXPECT_EQ(lastLog(), "开始连续记录：" + recordingFolder.toStdString());
    connectModel();
    waitForSamples(5);
    model->disconnect();
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    const std::string first = samplesCsv(model->samples());
    ASSERT_TRUE(waitFor([&] { return recorded(recordingFolder) == first; })) << recorded(recordingFolder);

    // The choice outlives the application; the next connection appends to the same file.
    model.reset();
    start({QStringLiteral("--refresh"), QStringLiteral("10")});
    EXPECT_TRUE(model->recording());
    EXPECT_EQ(model->recordingFolder(), recordingFolder);
    connectModel();
    waitForSamples(3);
    model->disconnect();
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    const std::string both = first + rowsOf(samplesCsv(model->samples()));
    ASSERT_TRUE(waitFor([&] { return recorded(recordingFolder) == both; })) << recorded(recordingFolder);

    model->stopRecording();
    EXPECT_EQ(lastLog(), "已停止连续记录。");
    model.reset();
    start();
    EXPECT_FALSE(model->recording());
    EXPECT_EQ(model->recordingFolder(), recordingFolder);  // offered again next time
    model->startRecording();
    EXPECT_EQ(offeredFolders, (QStringList{QString(), recordingFolder}));
}

TEST_F(PowerModelTest, AnUnwritableFolderPausesRecordingWithALogLine) {
    start({QStringLiteral("--refresh"), QStringLiteral("10")});
    model->startRecording();  // cancelled: nothing changes
    EXPECT_FALSE(model->recording());
    // A file stands where the folder should be.
    recordingFolder = homeFile("taken");
    QFile blocker(recordingFolder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    model->startRecording();
    connectModel();
    ASSERT_TRUE(waitFor([&] { return logged(QStringLiteral("连续记录暂停：")); }));
    EXPECT_TRUE(model->connected());  // polling goes on
}

}  // namespace
}  // namespace varek::test
