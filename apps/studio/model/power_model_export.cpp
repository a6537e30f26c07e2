// Files the model writes: the CSV export and the evidence snapshot.
#include <QSaveFile>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "power_model.hpp"
#include "varek/format.hpp"
#include "varek/platform.hpp"
#include "varek/sample_csv.hpp"

namespace varek {
namespace {

// Replaces `path` in one step (temporary file in the same directory, then rename), so
// readers see the old file or the new one, never a mix. Returns the failure text.
std::optional<QString> writeAtomically(const QString& path, const std::string& contents) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    if (file.write(contents.data(), static_cast<qint64>(contents.size())) != static_cast<qint64>(contents.size())) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit()) return file.errorString();
    return std::nullopt;
}

template <class Keep>
std::string csvOf(const SampleHistory& samples, Keep keep, std::size_t& count) {
    // The recorder writes the same rows, so exported and recorded files read alike.
    std::string out(SampleCsv::header);
    out.reserve(out.size() + samples.size() * 80);
    count = 0;
    for (const auto& run : samples.runs()) {
        for (const auto& s : run) {
            if (!keep(s)) continue;
            out += SampleCsv::row(s);
            ++count;
        }
    }
    return out;
}

}  // namespace

std::string PowerModel::csv(const SampleHistory& samples) {
    std::size_t count = 0;
    return csvOf(samples, [](const PowerSample&) { return true; }, count);
}

std::string PowerModel::csv(const SampleHistory& samples, Timestamp from, Timestamp to, std::size_t* count) {
    std::size_t kept = 0;
    // A filter, not a search: the span holds exactly its samples even in a history out of order.
    std::string out = csvOf(samples, [from, to](const PowerSample& s) { return s.time >= from && s.time <= to; }, kept);
    if (count) *count = kept;
    return out;
}

QString PowerModel::defaultExportName(Timestamp now) {
    return QStringLiteral("VAREK-") + QString::fromStdString(utcDate(now)) + QStringLiteral(".csv");
}

void PowerModel::exportCSV() {
    if (samples_.empty()) return;
    writeExport([this](std::size_t& count) {
        count = samples_.size();
        return csv(samples_);
    });
}

void PowerModel::exportCSVWithin(Timestamp from, Timestamp to) {
    bool any = false;
    for (const auto& run : samples_.runs()) {
        any = any || std::any_of(run.begin(), run.end(), [from, to](const PowerSample& s) { return s.time >= from && s.time <= to; });
    }
    if (!any) return;
    writeExport([this, from, to](std::size_t& count) { return csv(samples_, from, to, &count); });
}

void PowerModel::writeExport(const std::function<std::string(std::size_t& count)>& build) {
    const QString location =
        options_.chooseSaveLocation ? options_.chooseSaveLocation(defaultExportName()) : QString();
    if (location.isEmpty()) return;
    // Read after the dialog closed: samples that arrived meanwhile are included.
    std::size_t count = 0;
    if (const auto error = writeAtomically(location, build(count))) {
        setErrorMessage(QStringLiteral("导出失败：") + *error);
        return;
    }
    log(QStringLiteral("已导出 ") + QString::number(count) + QStringLiteral(" 条采样。"));
}

void PowerModel::writeEvidence(const PowerSample& sample) const {
    try {
        const nlohmann::json snapshot = {
            {"actual_hz", actualRefreshRate().value_or(0.0)},
            {"current_A", sample.current},
            {"current_limit_A", sample.currentSet},
            {"firmware", identity_ ? identity_->firmware : 0.0},
            {"model", identity_ ? identity_->model : 0},
            {"output_enabled", sample.outputEnabled},
            {"power_W", sample.power},
            {"samples", samples_.size()},
            {"source_sha", platform::sourceSHA()},
            {"target_hz", refreshRate_},
            {"timestamp", iso8601(sample.time)},
            {"voltage_V", sample.voltage},
            {"voltage_set_V", sample.voltageSet},
        };
        // Failures are ignored: the snapshot is a convenience for outside observers.
        (void)writeAtomically(QString::fromStdString(*evidencePath_), snapshot.dump(2));
    } catch (...) {
    }
}

}  // namespace varek
