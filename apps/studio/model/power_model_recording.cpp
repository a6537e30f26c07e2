// Continuous recording: every accepted sample appended to the day's CSV file by core's
// recorder, on a thread of its own because each row is written and synced to disk.
#include <QSettings>

#include "power_model.hpp"
#include "power_model_work.hpp"
#include "varek/sample_recorder.hpp"

namespace varek {

struct PowerModel::Recorder {
    std::unique_ptr<SampleRecorder> writer;  // recorder thread only
};

namespace {

QSettings preferences() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

QString recorderLine(const RecorderEvent& event) {
    if (event.kind == RecorderEvent::Kind::resumed) {
        return QStringLiteral("连续记录已恢复：") + QString::fromStdString(event.file.string());
    }
    return QStringLiteral("连续记录暂停：") + QString::fromStdString(event.reason);
}

}  // namespace

void PowerModel::readStoredRecording() {
    const QSettings stored = preferences();
    recordingFolder_ = stored.value(QStringLiteral("recordingFolder")).toString();
    recording_ = stored.value(QStringLiteral("recordingActive"), false).toBool() && !recordingFolder_.isEmpty();
}

void PowerModel::startRecording() {
    const QString folder =
        options_.chooseRecordingFolder ? options_.chooseRecordingFolder(recordingFolder_) : QString();
    if (folder.isEmpty()) return;
    closeRecorder();  // a new folder replaces the old one
    recordingFolder_ = folder;
    recording_ = true;
    QSettings stored = preferences();
    stored.setValue(QStringLiteral("recordingFolder"), folder);
    stored.setValue(QStringLiteral("recordingActive"), true);
    log(QStringLiteral("开始连续记录：") + folder);
    openRecorder();
    emit changed(Change::recording);
}

void PowerModel::stopRecording() {
    if (!recording_) return;
    recording_ = false;
    preferences().setValue(QStringLiteral("recordingActive"), false);
    closeRecorder();
    log(QStringLiteral("已停止连续记录。"));
    emit changed(Change::recording);
}

void PowerModel::openRecorder() {
    if (!recording_ || !connected_ || !identity_) return;
    closeRecorder();
    SampleRecorder::Options options;
    options.directory = recordingFolder_.toStdString();
    options.serial = identity_->serial;
    recorder_ = std::make_shared<Recorder>();
    recorderPool_.start([slot = recorder_, options = std::move(options)]() mutable {
        slot->writer = std::make_unique<SampleRecorder>(std::move(options));
    });
}

void PowerModel::closeRecorder() {
    if (!recorder_) return;
    // The file is synced and closed behind the rows already queued, never here.
    recorderPool_.start([slot = std::move(recorder_)] { slot->writer.reset(); });
    recorder_.reset();
}

void PowerModel::recordSample(const PowerSample& sample) {
    if (!recorder_) return;
    auto work = [slot = recorder_, sample]() -> std::optional<RecorderEvent> {
        try {
            return slot->writer ? slot->writer->record(sample) : std::nullopt;
        } catch (const std::exception& e) {
            return RecorderEvent{RecorderEvent::Kind::paused, {}, e.what()};
        }
    };
    detail::runThen(recorderPool_, this, std::move(work), [this](std::optional<RecorderEvent> event) {
        if (event) log(recorderLine(*event));
    });
}

}  // namespace varek
