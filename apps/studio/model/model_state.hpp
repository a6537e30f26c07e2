#pragma once

#include <QFlags>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sample_history.hpp"
#include "varek/device.hpp"
#include "varek/error.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_runner.hpp"

namespace varek {

/// The published fields of one supply's model, as named in `changed`; `drafts` covers
/// both setpoint texts.
enum class ModelChange : unsigned {
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
Q_DECLARE_FLAGS(ModelChanges, ModelChange)

/// A named setpoint pair, in hundredths.
struct Preset {
    QString name;
    std::uint16_t voltage = 0;
    std::uint16_t current = 0;
    friend bool operator==(const Preset&, const Preset&) = default;
};

/// What one supply's window shows, with the setters that announce real changes. Plain
/// data on the GUI thread; the model's parts change it, the model turns `announce`
/// into its `changed` signal.
class ModelState {
public:
    static constexpr int historyLimit = 36000;
    static constexpr int eventLimit = 100;

    /// `announce` hears every real change (GUI thread).
    explicit ModelState(std::function<void(ModelChanges)> announce);

    QStringList ports;
    QString selectedPort;
    int baud = 115200;
    QString station = QStringLiteral("1");
    int refreshRate = 5;
    bool connected = false;
    bool busy = false;
    bool recovering = false;
    std::optional<DeviceIdentity> identity;
    std::optional<PowerSample> latest;
    SampleHistory samples{historyLimit};
    QString voltageDraft = QStringLiteral("12.40");
    QString currentDraft = QStringLiteral("1.00");
    QString notice = QStringLiteral("选择电源串口，然后连接。");
    std::optional<QString> errorMessage;
    QStringList events;
    QString apiState = QStringLiteral("API正在启动…");
    std::optional<QString> apiTokenPath;
    bool recording = false;
    QString recordingFolder;
    std::vector<Preset> presets;
    SafetyCeilings ceilings;
    std::optional<SequenceProgress> sequence;
    /// "--evidence": rewritten with the newest reading on every accepted sample.
    std::optional<std::string> evidencePath;

    void setPorts(QStringList value);
    void setSelectedPort(const QString& value);
    void setBaud(int value);
    void setStation(const QString& value);
    void setConnected(bool value);
    void setBusy(bool value);
    void setRecovering(bool value);
    void setIdentity(std::optional<DeviceIdentity> value);
    void setLatest(std::optional<PowerSample> value);
    void setVoltageDraft(const QString& text);
    void setCurrentDraft(const QString& text);
    void setNotice(const QString& text);
    void setErrorMessage(std::optional<QString> text);
    void setApiState(const QString& text);
    /// Announces `what` (for fields changed in place).
    void announce(ModelChanges what) const { announce_(what); }

    /// Prepends "HH:mm:ss  message" to `events`, keeping at most `eventLimit` lines.
    void log(const QString& message);
    /// A user's setpoint write confirmed by read-back (local or through a server): the
    /// drafts show the supply's values, then the notice and the log line.
    void confirmSetpoints(double voltage, double current);
    /// A user's output switch confirmed by read-back: the notice and the log line.
    void confirmOutput(bool enabled);
    /// Takes a confirmed sample into `latest`, the bounded history and the evidence
    /// file, then tells `sampled` (recording).
    void accept(const PowerSample& sample);
    /// Hears every accepted sample after the state took it.
    std::function<void(const PowerSample&)> sampled;
    /// The setpoint drafts in hundredths, voltage first (with both texts wrong only its
    /// message shows), within the ceilings; else the alert's error.
    std::variant<std::pair<std::uint16_t, std::uint16_t>, VarekError> draftSetpoints() const;
    /// Measured polling rate over the last 21 samples; none while not connected or recovering.
    std::optional<double> actualRefreshRate() const;

private:
    void writeEvidence(const PowerSample& sample) const;

    std::function<void(ModelChanges)> announce_;
};

}  // namespace varek

Q_DECLARE_OPERATORS_FOR_FLAGS(varek::ModelChanges)
