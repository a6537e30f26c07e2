#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model_state.hpp"
#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

class ApiHosting;
class CommandControl;
class LinkControl;
class RecordingControl;
class SequenceControl;
class SupplyEngine;

/// The desktop application's model of one supply: a Qt adapter over its engine. Lives
/// on the GUI thread; every published field changes there and announces itself through
/// `changed`. Its work is done by owned parts (connection and polling, commands and
/// presets, recording and export, sequences, API hosting); session work runs on the
/// engine's device thread and never blocks the GUI thread.
class PowerModel : public QObject {
    Q_OBJECT

public:
    static constexpr int historyLimit = ModelState::historyLimit;
    static constexpr int eventLimit = ModelState::eventLimit;
    static constexpr std::array<int, 4> allowedRates{1, 2, 5, 10};
    using Change = ModelChange;
    using Changes = ModelChanges;
    using Preset = varek::Preset;

    struct Options {
        std::uint16_t httpPort = 18760;
        std::uint16_t scpiPort = 5025;
        /// Process arguments without the program name ("--refresh", "--evidence", "--connect").
        QStringList arguments;
        /// Base of the token file; empty means the per-user default.
        std::filesystem::path supportDirectory;
        /// Lists serial ports; defaults to SerialSession::ports().
        std::function<std::vector<std::string>()> listPorts;
        /// Asks the user where to save the CSV (proposed file name in); empty = cancelled.
        std::function<QString(const QString& proposedName)> chooseSaveLocation;
        /// Asks the user for the continuous recording folder (the current one in); empty = cancelled.
        std::function<QString(const QString& currentFolder)> chooseRecordingFolder;
    };

    explicit PowerModel(Options options, QObject* parent = nullptr);
    /// Stops the SCPI and HTTP servers and closes the engine before the parts go.
    ~PowerModel() override;

    // Published fields.
    const QStringList& ports() const { return state_.ports; }
    const QString& selectedPort() const { return state_.selectedPort; }
    void setSelectedPort(const QString& port) { state_.setSelectedPort(port); }
    int baud() const { return state_.baud; }
    void setBaud(int baud) { state_.setBaud(baud); }
    const QString& station() const { return state_.station; }
    void setStation(const QString& station) { state_.setStation(station); }
    int refreshRate() const { return state_.refreshRate; }
    /// Accepts only 1, 2, 5 or 10, and persists it as "refreshRate".
    void setRefreshRate(int rate);
    bool connected() const { return state_.connected; }
    bool busy() const { return state_.busy; }
    bool recovering() const { return state_.recovering; }
    const std::optional<DeviceIdentity>& identity() const { return state_.identity; }
    const std::optional<PowerSample>& latest() const { return state_.latest; }
    /// The bounded history (at most `historyLimit`, oldest first).
    const SampleHistory& samples() const { return state_.samples; }
    const QString& voltageDraft() const { return state_.voltageDraft; }
    void setVoltageDraft(const QString& text) { state_.setVoltageDraft(text); }
    const QString& currentDraft() const { return state_.currentDraft; }
    void setCurrentDraft(const QString& text) { state_.setCurrentDraft(text); }
    const QString& notice() const { return state_.notice; }
    const std::optional<QString>& errorMessage() const { return state_.errorMessage; }
    /// Dismissing the alert.
    void clearErrorMessage() { state_.setErrorMessage(std::nullopt); }
    const QStringList& events() const { return state_.events; }
    const QString& apiState() const { return state_.apiState; }
    const std::optional<QString>& apiTokenPath() const { return state_.apiTokenPath; }
    /// The running control server's token, or empty when there is none.
    QString apiToken() const;
    /// True while continuous recording is switched on (it writes while a supply is connected).
    bool recording() const { return state_.recording; }
    /// The folder recording writes to, or last wrote to; persisted as "recordingFolder".
    const QString& recordingFolder() const { return state_.recordingFolder; }

    /// The stored presets in the order they were first saved; persisted as "presets".
    const std::vector<Preset>& presets() const { return state_.presets; }
    /// Stores the setpoint drafts under `name` (replacing a preset of that name); false,
    /// with the alert, for an empty name or drafts that do not parse or exceed the ceilings.
    bool savePreset(const QString& name);
    /// Gives preset `from` the name `to`; false when `from` is unknown, `to` empty or taken.
    bool renamePreset(const QString& from, const QString& to);
    /// Forgets preset `name`.
    void deletePreset(const QString& name);
    /// Fills the drafts with preset `name` and applies them like the apply button.
    void recallPreset(const QString& name);

    /// Upper bounds of every setpoint write of this application; persisted as
    /// "maxVoltageCenti" and "maxCurrentCenti".
    const SafetyCeilings& ceilings() const { return state_.ceilings; }
    /// Stores `ceilings`, each clamped to the supply's limits.
    void setCeilings(SafetyCeilings ceilings);

    /// Validates profile `text` against the ceilings and starts it; the reason when it
    /// cannot start (no supply, invalid, one already running).
    std::optional<QString> startSequence(const std::string& text);
    /// Asks the running sequence to stop and apply its "on_end".
    void stopSequence();
    /// The runner's progress now (elapsed time included); none before the first run.
    std::optional<SequenceProgress> liveSequenceProgress() const;
    /// The latest run as last heard on this thread; none before the first run.
    const std::optional<SequenceProgress>& sequenceProgress() const { return state_.sequence; }

    /// Measured polling rate over the last 21 samples; none while not connected or recovering.
    std::optional<double> actualRefreshRate() const { return state_.actualRefreshRate(); }
    /// Bound ports of the servers (0 when not listening), for tests.
    std::uint16_t httpPort() const;
    std::uint16_t scpiPort() const;
    /// True while an SCPI server exists or is being started.
    bool hasSCPIServer() const;

    /// The state every part works on (tests take samples and log lines in through it).
    ModelState& state() { return state_; }
    /// The supply's engine (tests reach its output queue and session through it).
    SupplyEngine& engine() { return *engine_; }

    /// The CSV text of `samples` (header and one line per sample, oldest first, LF endings).
    static std::string csv(const SampleHistory& samples);
    /// The same for only the samples taken from `from` to `to`, both included; `count` gets their number.
    static std::string csv(const SampleHistory& samples, Timestamp from, Timestamp to, std::size_t* count = nullptr);
    /// "VAREK-YYYY-MM-DD.csv" for the UTC date of `now`.
    static QString defaultExportName(Timestamp now = SystemClock::now());

public slots:
    void refreshPorts();
    void connect();
    void disconnect();
    void applyValues();
    void changeOutput(bool enabled);
    void exportCSV();
    /// Asks for a folder and records every accepted sample there from now on, also after restarts.
    void startRecording();
    /// Ends continuous recording; the files written stay.
    void stopRecording();

public:
    /// `exportCSV()` for only the samples taken from `from` to `to`, both included: same
    /// dialog, file format and log line; nothing when no stored sample falls in the span.
    void exportCSVWithin(Timestamp from, Timestamp to);

signals:
    /// The published fields named in `what` changed; emitted on the GUI thread, only
    /// for real changes.
    void changed(varek::ModelChanges what);

private:
    void readArguments();

    Options options_;
    ModelState state_;
    std::unique_ptr<SupplyEngine> engine_;
    std::unique_ptr<LinkControl> link_;
    std::unique_ptr<CommandControl> commands_;
    std::unique_ptr<RecordingControl> recordings_;
    std::unique_ptr<SequenceControl> sequences_;
    std::unique_ptr<ApiHosting> api_;
};

}  // namespace varek
