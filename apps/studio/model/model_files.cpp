#include "model_files.hpp"

#include <QSaveFile>

#include "varek/format.hpp"
#include "varek/sample_csv.hpp"

namespace varek {
namespace {

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

QSettings preferences() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

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

std::string samplesCsv(const SampleHistory& samples) {
    std::size_t count = 0;
    return csvOf(samples, [](const PowerSample&) { return true; }, count);
}

std::string samplesCsv(const SampleHistory& samples, Timestamp from, Timestamp to, std::size_t* count) {
    std::size_t kept = 0;
    // A filter, not a search: the span holds exactly its samples even in a history out of order.
    std::string out = csvOf(samples, [from, to](const PowerSample& s) { return s.time >= from && s.time <= to; }, kept);
    if (count) *count = kept;
    return out;
}

QString defaultExportName(Timestamp now) {
    return QStringLiteral("VAREK-") + QString::fromStdString(utcDate(now)) + QStringLiteral(".csv");
}

}  // namespace varek
