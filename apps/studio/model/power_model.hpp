#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sample_history.hpp"
#include "varek/device.hpp"
#include "varek/error.hpp"
#include "varek/protocol.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

class ApiHost;
class ControlResponder;
class SerialSession;
struct ControlHTTPRequest;
struct ControlHTTPReply;
struct ListenerEvent;
class PowerModelTestAccess;

/// The desktop application's one observable model. Lives on the GUI thread;
/// every published field changes there and announces itself through `changed`.
/// Session work runs on a worker thread and never blocks the GUI thread.
class PowerModel : public QObject {
    Q_OBJECT

public:
    static constexpr int historyLimit = 36000;
    static constexpr int eventLimit = 100;
    static constexpr std::array<int, 4> allowedRates{1, 2, 5, 10};

    /// The published fields, as named in `changed`; `drafts` covers both setpoint texts.
    enum class Change : unsigned {
        ports = 1u << 0,
        selectedPort = 1u << 1,
        baud = 1u << 2,
        station = 1u << 3,
        refreshRate = 1u << 4,
        connected = 1u << 5,
        busy = 1u << 6,
        recovering = 1u << 7,
        identity = 1u << 8,
        latest = 1u << 9,
        samples = 1u << 10,
        drafts = 1u << 11,
        notice = 1u << 12,
        errorMessage = 1u << 13,
        events = 1u << 14,
        apiState = 1u << 15,
        apiTokenPath = 1u << 16,
        recording = 1u << 17,
        presets = 1u << 18,
        ceilings = 1u << 19,
        sequence = 1u << 20,
    };
    Q_DECLARE_FLAGS(Changes, Change)
    Q_FLAG(Changes)

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
    /// Stops the SCPI and HTTP servers and joins all workers before the session goes.
    ~PowerModel() override;

    // Published fields.
    const QStringList& ports() const { return ports_; }
    const QString& selectedPort() const { return selectedPort_; }
    void setSelectedPort(const QString& port);
    int baud() const { return baud_; }
    void setBaud(int baud);
    const QString& station() const { return station_; }
    void setStation(const QString& station);
    int refreshRate() const { return refreshRate_; }
    /// Accepts only 1, 2, 5 or 10, and persists it as "refreshRate".
    void setRefreshRate(int rate);
    bool connected() const { return connected_; }
    bool busy() const { return busy_; }
    bool recovering() const { return recovering_; }
    const std::optional<DeviceIdentity>& identity() const { return identity_; }
    const std::optional<PowerSample>& latest() const { return latest_; }
    /// The bounded history (at most `historyLimit`, oldest first).
    const SampleHistory& samples() const { return samples_; }
    const QString& voltageDraft() const { return voltageDraft_; }
    void setVoltageDraft(const QString& text);
    const QString& currentDraft() const { return currentDraft_; }
    void setCurrentDraft(const QString& text);
    const QString& notice() const { return notice_; }
    const std::optional<QString>& errorMessage() const { return errorMessage_; }
    /// Dismissing the alert.
    void clearErrorMessage();
    const QStringList& events() const { return events_; }
    const QString& apiState() const { return apiState_; }
    const std::optional<QString>& apiTokenPath() const { return apiTokenPath_; }
    /// The running control server's token, or empty when there is none.
    QString apiToken() const;
    /// True while continuous recording is switched on (it writes while a supply is connected).
    bool recording() const { return recording_; }
    /// The folder recording writes to, or last wrote to; persisted as "recordingFolder".
    const QString& recordingFolder() const { return recordingFolder_; }

    /// A named setpoint pair, in hundredths.
    struct Preset {
        QString name;
        std::uint16_t voltage = 0;
        std::uint16_t current = 0;
        friend bool operator==(const Preset&, const Preset&) = default;
    };
    /// The stored presets in the order they were first saved; persisted as "presets".
    const std::vector<Preset>& presets() const { return presets_; }
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
    const SafetyCeilings& ceilings() const { return ceilings_; }
    /// Stores `ceilings`, each clamped to the supply's limits.
    void setCeilings(SafetyCeilings ceilings);

    /// Validates profile `text` against the ceilings and starts it; the reason when it
    /// cannot start (no supply, invalid, one already running).
    std::optional<QString> startSequence(const std::string& text);
    /// Asks the running sequence to stop and apply its "on_end".
    void stopSequence();
    /// The runner's progress now (elapsed time included); none before the first run.
    std::optional<SequenceProgress> liveSequenceProgress() const { return runner_->progress(); }
    /// The latest run as last heard on this thread; none before the first run.
    const std::optional<SequenceProgress>& sequenceProgress() const { return sequenceProgress_; }

    /// Measured polling rate over the last 21 samples; none while not connected or recovering.
    std::optional<double> actualRefreshRate() const;
    /// Bound ports of the servers (0 when not listening), for tests.
    std::uint16_t httpPort() const;
    std::uint16_t scpiPort() const;
    /// True while an SCPI server exists or is being started.
    bool hasSCPIServer() const;

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
    void changed(PowerModel::Changes what);

private:
    // Implementation detail; the model's helper may reorganise freely below.
    friend class PowerModelTestAccess;

    // Published-field assignments that announce real changes.
    void setPorts(QStringList ports);
    void setConnected(bool value);
    void setBusy(bool value);
    void setRecovering(bool value);
    void setIdentity(std::optional<DeviceIdentity> value);
    void setLatest(std::optional<PowerSample> value);
    void setNotice(const QString& text);
    void setErrorMessage(std::optional<QString> text);
    void setApiState(const QString& text);

    /// Prepends "HH:mm:ss  message" to `events`, keeping at most 100 lines.
    void log(const QString& message);
    /// Takes a confirmed sample into `latest`, the bounded history and the evidence file.
    void accept(const PowerSample& sample);
    void writeEvidence(const PowerSample& sample) const;
    /// Asks for a location and writes `build()`'s text there, logging `count()` samples;
    /// `count` is read after the dialog closed, as the text is.
    void writeExport(const std::function<std::string(std::size_t& count)>& build);

    void readStoredRate();
    void readStoredRecording();
    void readStoredPresets();
    void writePresets();
    void readStoredCeilings();
    /// The alert for a setpoint pair above the ceilings; none when it is allowed.
    std::optional<VarekError> ceilingViolation(std::uint16_t voltage, std::uint16_t current) const;
    /// Makes the runner whose device work goes to the session thread and news come here.
    void makeSequenceRunner();
    /// Ends a running sequence without another write and shuts the sequence's device line.
    void abortSequence();
    void sequenceNews(const SequenceProgress& progress);
    void apiSetpoints(const ControlHTTPRequest& request, ControlResponder responder);
    void apiSample(ControlResponder responder);
    void apiStartSequence(const ControlHTTPRequest& request, ControlResponder responder);
    void apiStopSequence(ControlResponder responder);
    /// Opens a recorder for the connected supply on the recorder thread, when recording.
    void openRecorder();
    /// Hands the recorder to the recorder thread to be closed there.
    void closeRecorder();
    /// Appends `sample` on the recorder thread; its pause and resume news come back here.
    void recordSample(const PowerSample& sample);
    void readArguments();
    void startControlServer();
    /// Words the control server's listener state as `apiState`.
    void apiListenerEvent(const ListenerEvent& event);

    void finishConnect(std::int64_t generation, const DeviceIdentity& identity, const PowerSample& first);
    /// Ends SCPI and closes the port on the worker, in that order, then runs `done` here.
    void closeSession(std::function<void()> done);
    void connectionFailed(const VarekError& error);
    /// Shows and logs a dashboard command's failure and frees the controls.
    void commandFailed(const VarekError& error);
    /// Logs, in words, a write reported unconfirmed that took effect after all.
    void lateWrite(const Bytes& request);

    void startPolling(std::int64_t generation);
    void stopPolling();
    void armPoll();
    void pollNow();
    void readDone(std::int64_t generation, const std::optional<PowerSample>& sample,
                  const std::optional<VarekError>& error);
    void recover(std::int64_t generation);

    /// Answers an API request: at once, or once its output switch has finished.
    void serveAPI(const ControlHTTPRequest& request, ControlResponder responder);
    void queueAPISwitch(bool enabled, ControlResponder responder);
    /// Starts a queued switch of `generation`; false when the connection changed since.
    bool beginAPISwitch(std::int64_t generation);
    /// The switch's effects on the model (once per switch, not per requester).
    void finishAPISwitch(bool enabled, std::int64_t generation, const std::optional<PowerSample>& sample,
                         const std::optional<VarekError>& error);
    /// The reply one requester of a switch gets; no sample and no error means not attempted.
    ControlHTTPReply apiSwitchReply(bool enabled, std::int64_t generation, const std::optional<PowerSample>& sample,
                                    const std::optional<VarekError>& error) const;

    Options options_;
    QStringList ports_;
    QString selectedPort_;
    int baud_ = 115200;
    QString station_ = QStringLiteral("1");
    int refreshRate_ = 5;
    bool connected_ = false;
    bool busy_ = false;
    bool recovering_ = false;
    std::optional<DeviceIdentity> identity_;
    std::optional<PowerSample> latest_;
    SampleHistory samples_{historyLimit};
    QString voltageDraft_ = QStringLiteral("12.40");
    QString currentDraft_ = QStringLiteral("1.00");
    QString notice_ = QStringLiteral("选择电源串口，然后连接。");
    std::optional<QString> errorMessage_;
    QStringList events_;
    QString apiState_ = QStringLiteral("API正在启动…");
    std::optional<QString> apiTokenPath_;

    // The HTTP and SCPI servers; requests and their news reach us here by queued hops.
    std::unique_ptr<ApiHost> api_;
    std::shared_ptr<SerialSession> session_;
    std::int64_t sessionGeneration_ = 0;
    std::optional<std::string> evidencePath_;

    // Session work runs here, one operation at a time, never on the GUI thread.
    QThreadPool pool_;
    // Continuous recording: the writer lives on its own thread (it syncs to disk),
    // never on the session thread or this one.
    struct Recorder;
    bool recording_ = false;
    QString recordingFolder_;
    std::shared_ptr<Recorder> recorder_;
    QThreadPool recorderPool_;
    std::vector<Preset> presets_;
    SafetyCeilings ceilings_;
    // The ceilings packed (voltage << 16 | current) for SCPI connections on other threads.
    std::shared_ptr<std::atomic<std::uint32_t>> sharedCeilings_;
    // Whether the sequence's device jobs may reach the supply, and whether the runner may
    // queue any more; read on the runner's and the session thread.
    struct SequenceLine {
        std::atomic<bool> open{false};    // a supply is connected: jobs may reach it
        std::atomic<bool> closed{false};  // the model is going: nothing more is queued
    };
    std::shared_ptr<SequenceLine> sequenceLine_;
    std::unique_ptr<SequenceRunner> runner_;
    std::optional<SequenceProgress> sequenceProgress_;
    // The polling task: its generation while it runs, its pacing timer, the monotonic
    // start of the last read, and the part of the last wait the millisecond timer
    // could not express (carried into the next wait so the mean period stays exact).
    std::optional<std::int64_t> pollGeneration_;
    QTimer pollTimer_;
    std::chrono::steady_clock::time_point tick_;
    std::chrono::nanoseconds pacingCarry_{0};
};

}  // namespace varek

Q_DECLARE_OPERATORS_FOR_FLAGS(varek::PowerModel::Changes)
