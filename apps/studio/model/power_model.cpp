#include "power_model.hpp"

#include <QSettings>

#include <algorithm>

#include "api_host.hpp"
#include "power_model_work.hpp"
#include "varek/serial_session.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

QSettings preferences() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")); }

bool allowedRate(long long rate) {
    return std::find(PowerModel::allowedRates.begin(), PowerModel::allowedRates.end(), rate) !=
           PowerModel::allowedRates.end();
}

}  // namespace

PowerModel::PowerModel(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), session_(std::make_shared<SerialSession>()) {
    pool_.setMaxThreadCount(1);
    recorderPool_.setMaxThreadCount(1);
    pollTimer_.setSingleShot(true);
    pollTimer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pollTimer_, &QTimer::timeout, this, &PowerModel::pollNow);
    api_ = std::make_unique<ApiHost>(
        *this, pool_,
        ApiHost::Hooks{
            [this](const ControlHTTPRequest& request, ControlResponder responder) {
                serveAPI(request, std::move(responder));
            },
            [this](const ListenerEvent& event) { apiListenerEvent(event); },
            [this](const std::string& reason) { log(QStringLiteral("SCPI启动失败：") + QString::fromStdString(reason)); },
        });

    session_->setLateWriteObserver([this](const SerialSession::LateWrite& write) {
        // On the session thread: the model hears of it in its own turn.
        QMetaObject::invokeMethod(this, [this, request = write.request] { lateWrite(request); }, Qt::QueuedConnection);
    });
    makeSequenceRunner();
    readStoredRate();
    readStoredRecording();
    readStoredPresets();
    readStoredCeilings();
    refreshPorts();
    startControlServer();
    readArguments();
}

PowerModel::~PowerModel() {
    // Waits for a transaction in flight: nothing reports to this object afterwards.
    session_->setLateWriteObserver({});
    // A running sequence ends without another write, and the runner queues no more.
    runner_->close();
    sequenceLine_->open = false;
    sequenceLine_->closed = true;
    // The control server's thread is joined here, and SCPI's end is queued on the
    // session thread ahead of the port's close below.
    api_.reset();
    stopPolling();
    pool_.waitForDone();
    session_->disconnect();
    // Every job of the run has had its turn (refused), so its thread ends now.
    runner_->join();
    pool_.waitForDone();
    runner_.reset();
    closeRecorder();
    recorderPool_.waitForDone();
}

void PowerModel::setSelectedPort(const QString& port) {
    if (selectedPort_ == port) return;
    selectedPort_ = port;
    emit changed(Change::selectedPort);
}

void PowerModel::setBaud(int baud) {
    if (baud_ == baud) return;
    baud_ = baud;
    emit changed(Change::baud);
}

void PowerModel::setStation(const QString& station) {
    if (station_ == station) return;
    station_ = station;
    emit changed(Change::station);
}

void PowerModel::setRefreshRate(int rate) {
    if (!allowedRate(rate)) return;
    preferences().setValue(QStringLiteral("refreshRate"), rate);
    if (refreshRate_ == rate) return;
    refreshRate_ = rate;
    emit changed(Change::refreshRate);
}

void PowerModel::setVoltageDraft(const QString& text) {
    if (voltageDraft_ == text) return;
    voltageDraft_ = text;
    emit changed(Change::drafts);
}

void PowerModel::setCurrentDraft(const QString& text) {
    if (currentDraft_ == text) return;
    currentDraft_ = text;
    emit changed(Change::drafts);
}

void PowerModel::clearErrorMessage() { setErrorMessage(std::nullopt); }

void PowerModel::setPorts(QStringList ports) {
    if (ports_ == ports) return;
    ports_ = std::move(ports);
    emit changed(Change::ports);
}

void PowerModel::setConnected(bool value) {
    if (connected_ == value) return;
    connected_ = value;
    emit changed(Change::connected);
}

void PowerModel::setBusy(bool value) {
    if (busy_ == value) return;
    busy_ = value;
    emit changed(Change::busy);
}

void PowerModel::setRecovering(bool value) {
    if (recovering_ == value) return;
    recovering_ = value;
    emit changed(Change::recovering);
}

void PowerModel::setIdentity(std::optional<DeviceIdentity> value) {
    identity_ = std::move(value);
    emit changed(Change::identity);
}

void PowerModel::setLatest(std::optional<PowerSample> value) {
    latest_ = std::move(value);
    emit changed(Change::latest);
}

void PowerModel::setNotice(const QString& text) {
    if (notice_ == text) return;
    notice_ = text;
    emit changed(Change::notice);
}

void PowerModel::setErrorMessage(std::optional<QString> text) {
    if (errorMessage_ == text) return;
    errorMessage_ = std::move(text);
    emit changed(Change::errorMessage);
}

void PowerModel::setApiState(const QString& text) {
    if (apiState_ == text) return;
    apiState_ = text;
    emit changed(Change::apiState);
}

QString PowerModel::apiToken() const {
    return QString::fromStdString(api_->token());
}

std::uint16_t PowerModel::httpPort() const { return api_->httpPort(); }

std::uint16_t PowerModel::scpiPort() const { return api_->scpiPort(); }

bool PowerModel::hasSCPIServer() const { return api_->hasSCPIServer(); }

void PowerModel::refreshPorts() {
    const std::vector<std::string> found = options_.listPorts ? options_.listPorts() : SerialSession::ports();
    QStringList ports;
    for (const auto& path : found) ports.append(QString::fromStdString(path));
    setPorts(std::move(ports));
    if (!ports_.contains(selectedPort_)) setSelectedPort(ports_.isEmpty() ? QString() : ports_.first());
}

void PowerModel::log(const QString& message) {
    events_.prepend(QString::fromStdString(localClock(SystemClock::now())) + QStringLiteral("  ") + message);
    while (events_.size() > eventLimit) events_.removeLast();
    emit changed(Change::events);
}

void PowerModel::accept(const PowerSample& sample) {
    setLatest(sample);
    samples_.push(sample);
    emit changed(Change::samples);
    if (evidencePath_) writeEvidence(sample);
    recordSample(sample);
}

std::optional<double> PowerModel::actualRefreshRate() const {
    if (!connected_ || recovering_) return std::nullopt;
    return measuredRate(samples_);
}

void PowerModel::readStoredRate() {
    bool ok = false;
    const int stored = preferences().value(QStringLiteral("refreshRate"), 0).toInt(&ok);
    if (ok && allowedRate(stored)) setRefreshRate(stored);
}

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
        if (parsed && allowedRate(*parsed)) setRefreshRate(static_cast<int>(*parsed));
    }
    if (const auto path = valueOf("--evidence")) evidencePath_ = path->toStdString();
    if (const auto port = valueOf("--connect")) {
        setSelectedPort(*port);
        if (!ports_.contains(*port)) setPorts(ports_ + QStringList{*port});
        QMetaObject::invokeMethod(this, &PowerModel::connect, Qt::QueuedConnection);
    }
}

}  // namespace varek
