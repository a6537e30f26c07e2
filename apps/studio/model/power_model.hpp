#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "supply_model.hpp"
#include "varek/control_server.hpp"
#include "varek/scpi_server.hpp"

namespace varek {

class ApiHosting;
class CommandControl;
class LinkControl;
class PresetStore;
class RecordingControl;
class SequenceControl;
class SupplyEngine;

/// The desktop application's model of one local supply: a Qt adapter over its engine.
/// Lives on the GUI thread; every published field changes there and announces itself
/// through `changed`. Its work is done by owned parts (connection and polling,
/// commands, presets and ceilings, recording and export, sequences, API hosting);
/// session work runs on the engine's device thread and never blocks the GUI thread.
class PowerModel : public SupplyModel {
public:
    struct Options {
        std::uint16_t httpPort = ControlServer::port;
        std::uint16_t scpiPort = SCPIServer::port;
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
        /// Where this supply keeps its rate and recording choices: empty for the
        /// application's own keys (the first supply of a bench), else a group of its own.
        QString preferenceGroup;
    };

    explicit PowerModel(Options options, QObject* parent = nullptr);
    /// Stops the SCPI and HTTP servers and closes the engine before the parts go.
    ~PowerModel() override;

    bool remote() const override { return false; }
    void setRefreshRate(int rate) override;
    QString apiToken() const override;
    std::optional<QString> startSequence(const std::string& text) override;
    void stopSequence() override;
    std::optional<SequenceProgress> liveSequenceProgress() const override;
    void switchOff(std::function<void(const Result&)> done) override;

    /// Bound ports of the servers (0 when not listening), for tests.
    std::uint16_t httpPort() const;
    std::uint16_t scpiPort() const;
    /// True while an SCPI server exists or is being started.
    bool hasSCPIServer() const;
    /// The supply's engine (tests reach its output queue and session through it).
    SupplyEngine& engine() { return *engine_; }

    void refreshPorts() override;
    void connect() override;
    void disconnect() override;
    void applyValues() override;
    void changeOutput(bool enabled) override;

private:
    PresetStore& presetStore() override { return *presets_; }
    RecordingControl& recordingControl() override { return *recordings_; }

    void readArguments();

    Options options_;
    std::unique_ptr<SupplyEngine> engine_;
    std::unique_ptr<LinkControl> link_;
    std::unique_ptr<CommandControl> commands_;
    std::unique_ptr<PresetStore> presets_;
    std::unique_ptr<RecordingControl> recordings_;
    std::unique_ptr<SequenceControl> sequences_;
    std::unique_ptr<ApiHosting> api_;
};

}  // namespace varek
