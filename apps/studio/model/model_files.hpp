#pragma once

// What the desktop model keeps on disk: the preferences, the CSV text of samples and
// files replaced in one step.

#include <QSettings>
#include <QString>

#include <cstddef>
#include <optional>
#include <string>

#include "sample_history.hpp"

namespace varek {

/// The application's preferences (organisation "VAREK", application "VAREK Studio").
QSettings preferences();
/// Replaces `path` in one step (temporary file in the same directory, then rename), so
/// readers see the old file or the new one, never a mix. Returns the failure text.
std::optional<QString> writeAtomically(const QString& path, const std::string& contents);
/// The CSV text of `samples` (header and one line per sample, oldest first, LF endings).
std::string samplesCsv(const SampleHistory& samples);
/// The same for only the samples taken from `from` to `to`, both included; `count` gets their number.
std::string samplesCsv(const SampleHistory& samples, Timestamp from, Timestamp to, std::size_t* count = nullptr);
/// "VAREK-YYYY-MM-DD.csv" for the UTC date of `now`.
QString defaultExportName(Timestamp now = SystemClock::now());

}  // namespace varek
