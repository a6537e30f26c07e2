#include "power_model.hpp"

#include <QPointer>

#include "api_hosting.hpp"
#include "command_control.hpp"
#include "device_call.hpp"
#include "link_control.hpp"
#include "model_files.hpp"
#include "preset_store.hpp"
#include "recording_control.hpp"
#include "sequence_control.hpp"
#include "varek/serial_session.hpp"
#include "varek/supply_engine.hpp"

namespace varek {

PowerModel::PowerModel(Options options, QObject* parent) : SupplyModel(parent), options_(std::move(options)) {
    const QPointer<QObject> self(this);
    SupplyEngine::Events events;
    // The engine's news arrive on its threads; the window hears them in its own turn.
    events.sequence = [self, this](const SequenceProgress& progress) {
        detail::hop(self, [this, progress] { sequences_->news(progress); });
    };
    events.late = [self, this](const SerialSession::LateWrite& write) {
        detail::hop(self, [this, request = write.request] { commands_->lateWrite(request); });
    };
    engine_ = std::make_unique<SupplyEngine>(std::move(events));
    const auto generation = [this] { return link_->generation(); };
    recordings_ = std::make_unique<RecordingControl>(state_, engine_->feed(), options_.chooseRecordingFolder,
                                                     options_.chooseSaveLocation);
    sequences_ = std::make_unique<SequenceControl>(state_, *engine_);
    api_ = std::make_unique<ApiHosting>(state_, *engine_, generation);
    commands_ = std::make_unique<CommandControl>(state_, *engine_, generation);
    presets_ = std::make_unique<PresetStore>(
        state_, [this](const SafetyCeilings& ceilings) { engine_->setCeilings(ceilings); }, [this] { applyValues(); });
    LinkControl::Hooks hooks;
    hooks.began = [this](const DeviceIdentity& identity) {
        presets_->useSerial(identity.serial);
        api_->startSCPI(options_.scpiPort);
        recordings_->open(identity);
    };
    hooks.ending = [this] {
        // Before the port closes: the run ends without a write, then the file, then SCPI.
        sequences_->abort();
        recordings_->close();
        api_->stopSCPI();
    };
    link_ = std::make_unique<LinkControl>(state_, *engine_, options_.listPorts, std::move(hooks),
                                          options_.preferenceGroup);
    state_.sampled = [this](const PowerSample& sample) { engine_->feed().publish(sample); };

    link_->readStoredRate();
    recordings_->readStored(options_.preferenceGroup);
    presets_->readStored();
    link_->refreshPorts();
    api_->startControlServer(options_.httpPort, options_.supportDirectory.empty()
                                                    ? platform::applicationSupportDirectory()
                                                    : options_.supportDirectory);
    readArguments();
}

PowerModel::~PowerModel() {
    // A running sequence ends without another write, and none starts again.
    engine_->closeSequences();
    // The control server's thread is joined here, and SCPI's end is queued on the
    // device thread ahead of the port's close below.
    api_.reset();
    link_.reset();
    engine_->close();
    state_.sampled = nullptr;
}

void PowerModel::setRefreshRate(int rate) { link_->setRefreshRate(rate); }
QString PowerModel::apiToken() const { return QString::fromStdString(api_->token()); }
std::uint16_t PowerModel::httpPort() const { return api_->httpPort(); }
std::uint16_t PowerModel::scpiPort() const { return api_->scpiPort(); }
bool PowerModel::hasSCPIServer() const { return api_->hasSCPIServer(); }

void PowerModel::switchOff(std::function<void(const Result&)> done) {
    commands_->switchOff([done](bool confirmed, const QString& words) { done({confirmed, words}); });
}
std::optional<QString> PowerModel::startSequence(const std::string& text) { return sequences_->start(text); }
void PowerModel::stopSequence() { sequences_->stop(); }
std::optional<SequenceProgress> PowerModel::liveSequenceProgress() const { return sequences_->live(); }

void PowerModel::refreshPorts() { link_->refreshPorts(); }
void PowerModel::connect() { link_->connect(); }
void PowerModel::disconnect() { link_->disconnect(); }
void PowerModel::applyValues() { commands_->applyValues(); }
void PowerModel::changeOutput(bool enabled) { commands_->changeOutput(enabled); }


void PowerModel::readArguments() {
    const QStringList& arguments = options_.arguments;
    // An option takes the argument after its first occurrence; one standing last has none.
    const auto valueOf = [&](const char* option) -> std::optional<QString> {
        const qsizetype at = arguments.indexOf(QLatin1String(option));
        if (at < 0 || at + 1 >= arguments.size()) return std::nullopt;
        return arguments[at + 1];
    };
    if (const auto rate = valueOf("--refresh")) {
        const auto parsed = detail::parseDecimal(*rate);
        if (parsed && LinkControl::allowedRate(*parsed)) setRefreshRate(static_cast<int>(*parsed));
    }
    if (const auto path = valueOf("--evidence")) state_.evidencePath = path->toStdString();
    if (const auto port = valueOf("--connect")) {
        state_.setSelectedPort(*port);
        if (!state_.ports.contains(*port)) state_.setPorts(state_.ports + QStringList{*port});
        QMetaObject::invokeMethod(this, &PowerModel::connect, Qt::QueuedConnection);
    }
}

}  // namespace varek
