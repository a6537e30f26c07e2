#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model_state.hpp"
#include "varek/device.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

class PresetStore;
class RecordingControl;

/// What the window shows of one supply, local (a serial port on this computer,
/// PowerModel) or remote (a varek-server, RemoteSupply): the published fields, read
/// on the GUI thread and announced through `changed`, and the commands a user gives.
class SupplyModel : public QObject {
    Q_OBJECT

public:
    static constexpr int historyLimit = ModelState::historyLimit;
    static constexpr int eventLimit = ModelState::eventLimit;
    static constexpr std::array<int, 4> allowedRates{1, 2, 5, 10};
    using Change = ModelChange;
    using Changes = ModelChanges;
    using Preset = varek::Preset;
    /// How one command of a group (the overview's "全部关闭输出") ended, in words;
    /// `confirmed` only with read-back.
    struct Result {
        bool confirmed = false;
        QString words;
    };

    explicit SupplyModel(QObject* parent = nullptr);

    // Published fields.
    const QStringList& ports() const { return state_.ports; }
    const QString& selectedPort() const { return state_.selectedPort; }
    void setSelectedPort(const QString& port) { state_.setSelectedPort(port); }
    int baud() const { return state_.baud; }
    void setBaud(int baud) { state_.setBaud(baud); }
    const QString& station() const { return state_.station; }
    void setStation(const QString& station) { state_.setStation(station); }
    int refreshRate() const { return state_.refreshRate; }
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
    /// True while continuous recording is switched on (it writes while a supply is connected).
    bool recording() const { return state_.recording; }
    /// The folder recording writes to, or last wrote to.
    const QString& recordingFolder() const { return state_.recordingFolder; }
    /// The stored presets in the order they were first saved.
    const std::vector<Preset>& presets() const { return state_.presets; }
    /// Upper bounds of every setpoint write made from this window.
    const SafetyCeilings& ceilings() const { return state_.ceilings; }
    /// The latest run as last heard on this thread; none before the first run.
    const std::optional<SequenceProgress>& sequenceProgress() const { return state_.sequence; }
    /// Measured polling rate over the last 21 samples; none while not connected or recovering.
    std::optional<double> actualRefreshRate() const { return state_.actualRefreshRate(); }
    /// The state every part works on (tests take samples and log lines in through it).
    ModelState& state() { return state_; }
    const ModelState& state() const { return state_; }

    /// True for a supply reached through a varek-server.
    virtual bool remote() const = 0;
    /// Where the supply is reached: the serial port, or the server's URL.
    virtual QString address() const { return state_.selectedPort; }
    /// Accepts only 1, 2, 5 or 10 (a remote supply follows its server instead).
    virtual void setRefreshRate(int rate) = 0;
    /// The running control server's token, or empty when there is none.
    virtual QString apiToken() const = 0;

    bool savePreset(const QString& name);
    bool renamePreset(const QString& from, const QString& to);
    void deletePreset(const QString& name);
    /// Fills the drafts with preset `name` and applies them like the apply button.
    void recallPreset(const QString& name);
    /// Stores `ceilings`, each clamped to the supply's limits.
    void setCeilings(SafetyCeilings ceilings);
    /// Validates profile `text` and starts it; the reason when it cannot start.
    virtual std::optional<QString> startSequence(const std::string& text) = 0;
    /// Asks the running sequence to stop and apply its "on_end".
    virtual void stopSequence() = 0;
    /// The runner's progress now (elapsed time included); none before the first run.
    virtual std::optional<SequenceProgress> liveSequenceProgress() const = 0;
    /// Switches the output off whatever the window is doing, confirmed by read-back;
    /// `done` hears how it ended (GUI thread). Nothing happens while not connected.
    virtual void switchOff(std::function<void(const Result&)> done) = 0;
    /// `exportCSV()` for only the samples taken from `from` to `to`, both included.
    void exportCSVWithin(Timestamp from, Timestamp to);

public slots:
    virtual void refreshPorts() = 0;
    virtual void connect() = 0;
    virtual void disconnect() = 0;
    virtual void applyValues() = 0;
    virtual void changeOutput(bool enabled) = 0;
    void exportCSV();
    void startRecording();
    void stopRecording();

signals:
    /// The published fields named in `what` changed; emitted on the GUI thread, only
    /// for real changes.
    void changed(varek::ModelChanges what);

protected:
    /// Presets, ceilings and recording work alike for both kinds of supply; each kind
    /// owns its parts, as they hang on its own sample feed.
    virtual PresetStore& presetStore() = 0;
    virtual RecordingControl& recordingControl() = 0;

    ModelState state_;
};

}  // namespace varek
