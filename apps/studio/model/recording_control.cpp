#include "recording_control.hpp"

#include <algorithm>

#include "device_call.hpp"
#include "model_files.hpp"
#include "varek/sample_feed.hpp"

namespace varek {
namespace {

QString recorderLine(const RecorderEvent& event) {
    if (event.kind == RecorderEvent::Kind::resumed) {
        return QStringLiteral("连续记录已恢复：") + QString::fromStdString(event.file.string());
    }
    return QStringLiteral("连续记录暂停：") + QString::fromStdString(event.reason);
}

}  // namespace

RecordingControl::RecordingControl(ModelState& state, SampleFeed& feed, ChooseFolder chooseFolder,
                                   ChooseFile chooseFile)
    : state_(state), feed_(feed), chooseFolder_(std::move(chooseFolder)), chooseFile_(std::move(chooseFile)) {}

void RecordingControl::readStored(const QString& group) {
    group_ = group;
    const QSettings stored = preferences();
    state_.recordingFolder = stored.value(group_ + QStringLiteral("recordingFolder")).toString();
    state_.recording =
        stored.value(group_ + QStringLiteral("recordingActive"), false).toBool() && !state_.recordingFolder.isEmpty();
}

void RecordingControl::start() {
    const QString folder = chooseFolder_ ? chooseFolder_(state_.recordingFolder) : QString();
    if (folder.isEmpty()) return;
    close();  // a new folder replaces the old one
    state_.recordingFolder = folder;
    state_.recording = true;
    QSettings stored = preferences();
    stored.setValue(group_ + QStringLiteral("recordingFolder"), folder);
    stored.setValue(group_ + QStringLiteral("recordingActive"), true);
    state_.log(QStringLiteral("开始连续记录：") + folder);
    if (state_.connected && state_.identity) open(*state_.identity);
    state_.announce(ModelChange::recording);
}

void RecordingControl::stop() {
    if (!state_.recording) return;
    state_.recording = false;
    preferences().setValue(group_ + QStringLiteral("recordingActive"), false);
    close();
    state_.log(QStringLiteral("已停止连续记录。"));
    state_.announce(ModelChange::recording);
}

void RecordingControl::open(const DeviceIdentity& identity) {
    if (!state_.recording) return;
    SampleRecorder::Options options;
    options.directory = state_.recordingFolder.toStdString();
    options.serial = identity.serial;
    // Pauses and resumptions are heard on the recorder's thread and told here.
    feed_.startRecording(std::move(options), [owner = QPointer<QObject>(this), this](const RecorderEvent& event) {
        detail::hop(owner, [this, event] { state_.log(recorderLine(event)); });
    });
}

void RecordingControl::close() { feed_.stopRecording(); }

void RecordingControl::exportAll() {
    if (state_.samples.empty()) return;
    writeExport([this](std::size_t& count) {
        count = state_.samples.size();
        return samplesCsv(state_.samples);
    });
}

void RecordingControl::exportWithin(Timestamp from, Timestamp to) {
    bool any = false;
    for (const auto& run : state_.samples.runs()) {
        any = any || std::any_of(run.begin(), run.end(),
                                 [from, to](const PowerSample& s) { return s.time >= from && s.time <= to; });
    }
    if (!any) return;
    writeExport([this, from, to](std::size_t& count) { return samplesCsv(state_.samples, from, to, &count); });
}

void RecordingControl::writeExport(const std::function<std::string(std::size_t& count)>& build) {
    const QString location = chooseFile_ ? chooseFile_(defaultExportName()) : QString();
    if (location.isEmpty()) return;
    // Read after the dialog closed: samples that arrived meanwhile are included.
    std::size_t count = 0;
    if (const auto error = writeAtomically(location, build(count))) {
        state_.setErrorMessage(QStringLiteral("导出失败：") + *error);
        return;
    }
    state_.log(QStringLiteral("已导出 ") + QString::number(count) + QStringLiteral(" 条采样。"));
}

}  // namespace varek
