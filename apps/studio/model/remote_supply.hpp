#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

#include "supply_model.hpp"
#include "varek/json.hpp"

namespace varek {

class PresetStore;
class RecordingControl;
class RemoteClient;
class SampleFeed;

/// A supply attached to a varek-server elsewhere, driven only through the server's
/// authenticated HTTP API: /v1/server for link, rate, recording and sequence state,
/// /v1/history for the chart on attach, /v1/latest at the server's poll rate, and the
/// write and sequence routes. A reading older than three of the server's poll periods
/// is never shown as live; a write shows confirmed only when the server says verified.
/// GUI thread.
class RemoteSupply : public SupplyModel {
public:
    struct Options {
        QUrl url;
        QString token;
        /// Preference group for recording (a group of its own per bench entry).
        QString preferenceGroup;
        std::function<QString(const QString& proposedName)> chooseSaveLocation;
        std::function<QString(const QString& currentFolder)> chooseRecordingFolder;
    };
    /// How often the server's state is read while attached.
    static constexpr int serverPeriodMs = 1000;

    explicit RemoteSupply(Options options, QObject* parent = nullptr);
    ~RemoteSupply() override;

    const QUrl& url() const { return options_.url; }
    /// Uses `token` from the next request on.
    void setToken(const QString& token);

    bool remote() const override { return true; }
    QString address() const override { return options_.url.toString(); }
    void setRefreshRate(int) override {}
    QString apiToken() const override { return {}; }
    std::optional<QString> startSequence(const std::string& text) override;
    void stopSequence() override;
    std::optional<SequenceProgress> liveSequenceProgress() const override;
    void switchOff(std::function<void(const Result&)> done) override;

    void refreshPorts() override {}
    void connect() override;
    void disconnect() override;
    void applyValues() override;
    void changeOutput(bool enabled) override;

private:
    PresetStore& presetStore() override { return *presets_; }
    RecordingControl& recordingControl() override { return *recordings_; }

    struct Reply;
    void readServer();
    void readHistory();
    void readLatest();
    void serverRead(int status, const Json& body);
    void latestRead(int status, const Json& body);
    /// Shows the reading live only while it is recent enough; the words for why not.
    void judgeFreshness();
    void setTrouble(const QString& words);
    std::chrono::milliseconds period() const;
    /// Words for an answer that was not a success; empty for a success.
    QString failureWords(int status, const Json& body, const QString& failure, bool timedOut) const;
    void write(const QString& path, const QByteArray& body, std::function<void(bool confirmed, const Json& body,
                                                                                  const QString& why)> done);

    Options options_;
    std::unique_ptr<RemoteClient> client_;
    std::unique_ptr<SampleFeed> feed_;
    std::unique_ptr<PresetStore> presets_;
    std::unique_ptr<RecordingControl> recordings_;
    bool attached_ = false;
    std::uint64_t attachment_ = 0;  // answers of an earlier attachment are dropped
    QTimer latestTimer_;
    QTimer serverTimer_;
    QTimer freshnessTimer_;
    std::optional<int> pollHertz_;
    QString linkWords_;      // the server's own link state in words, empty while linked
    QString trouble_;        // why the server cannot be read, empty while it answers
    QElapsedTimer latestAge_;  // since the latest reading was taken (by the server's age)
    double latestAgeAtReply_ = 0;
    std::optional<Timestamp> lastSampleTime_;
    std::optional<SequenceProgress> sequence_;
    QElapsedTimer sequenceHeard_;
    bool historyRead_ = false;
    QElapsedTimer sinceConfirmed_;  // since the latest confirmed write
};

}  // namespace varek
