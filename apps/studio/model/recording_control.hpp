#pragma once

#include <QObject>
#include <QString>

#include <functional>

#include "model_state.hpp"

namespace varek {

class SampleFeed;

/// The files a supply's samples go to: continuous recording into the same daily CSV
/// files as varek-server --record (written off the GUI thread by the engine's feed),
/// and the CSV export of the stored history. GUI thread.
class RecordingControl : public QObject {
public:
    /// Asks the user for a folder (the current one in); empty means cancelled.
    using ChooseFolder = std::function<QString(const QString& current)>;
    /// Asks the user where to save (a proposed file name in); empty means cancelled.
    using ChooseFile = std::function<QString(const QString& proposedName)>;

    /// `state` and `feed` must outlive this object.
    RecordingControl(ModelState& state, SampleFeed& feed, ChooseFolder chooseFolder, ChooseFile chooseFile);

    /// Takes the remembered folder and whether recording was on, kept under the
    /// preference keys `group` + "recordingFolder" and `group` + "recordingActive".
    void readStored(const QString& group = {});
    /// Asks for a folder and records every accepted sample there from now on, also after restarts.
    void start();
    /// Ends continuous recording; the files written stay.
    void stop();
    /// A connection began with `identity`: recording resumes for it when switched on.
    void open(const DeviceIdentity& identity);
    /// The connection ends: the file is synced and closed behind the rows already queued.
    void close();

    /// Writes the whole history as CSV where the user chooses.
    void exportAll();
    /// The same for only the samples taken from `from` to `to`, both included; nothing
    /// when no stored sample falls in the span.
    void exportWithin(Timestamp from, Timestamp to);

private:
    /// Asks for a location and writes `build()`'s text there, logging `count` samples;
    /// `count` is read after the dialog closed, as the text is.
    void writeExport(const std::function<std::string(std::size_t& count)>& build);

    ModelState& state_;
    SampleFeed& feed_;
    ChooseFolder chooseFolder_;
    ChooseFile chooseFile_;
    QString group_;
};

}  // namespace varek
