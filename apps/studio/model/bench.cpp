#include "bench.hpp"

#include <QFile>
#include <QSettings>

#include <algorithm>
#include <variant>

#include "model_files.hpp"
#include "power_model.hpp"
#include "remote_supply.hpp"
#include "varek/platform.hpp"
#include "varek/serial_session.hpp"

namespace varek {

struct Bench::Entry {
    std::unique_ptr<SupplyModel> model;
    std::uint64_t id = 0;
    QString name;                       ///< the user's; empty for the default
    QUrl url;                           ///< a remote supply's server
    std::optional<std::uint16_t> slot;  ///< a local supply's port offset
};

namespace {

/// Every value given to `option`, in order (an option standing last has none).
QStringList valuesOf(const QStringList& arguments, const QString& option) {
    QStringList values;
    for (qsizetype i = 0; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == option) values.append(arguments[++i]);
    }
    return values;
}

QString portName(const QString& path) {
    QString shown = path;
    return shown.remove(QStringLiteral("/dev/"));
}

/// "http://host:port" with a scheme, no path, query or credentials; empty when it is not one.
QUrl serverUrl(const QString& text) {
    QUrl url = QUrl::fromUserInput(text.trimmed());
    if (!url.isValid() || url.scheme() != QStringLiteral("http") || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        url.hasQuery() || url.hasFragment() || (!url.path().isEmpty() && url.path() != QStringLiteral("/"))) {
        return {};
    }
    url.setPath({});
    return url;
}

/// Shows `port`, `baud` and `station` in a local supply's connection card, as chosen.
void placeLocal(SupplyModel& model, const QString& port, int baud, const QString& station) {
    if (!port.isEmpty()) {
        if (!model.ports().contains(port)) model.state().setPorts(model.ports() + QStringList{port});
        model.setSelectedPort(port);
    }
    model.setBaud(baud);
    model.setStation(station);
}

}  // namespace

Bench::Bench(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      tokens_(options_.supportDirectory.empty() ? platform::applicationSupportDirectory() : options_.supportDirectory) {
    readCommandLine();
    if (entries_.empty()) restore();
    if (entries_.empty()) append(makeLocal(options_.arguments, nextId_++));
}

Bench::~Bench() {
    remember();
    // Models go in reverse order, each letting go of its port without touching the output.
    while (!entries_.empty()) entries_.pop_back();
}

void Bench::readCommandLine() {
    const QStringList& arguments = options_.arguments;
    const QStringList ports = valuesOf(arguments, QStringLiteral("--connect"));
    const QStringList urls = valuesOf(arguments, QStringLiteral("--remote"));
    for (qsizetype i = 0; i < ports.size(); ++i) {
        // The first keeps the whole command line (its --connect is the first, and
        // --refresh and --evidence are its); each further one only its port.
        append(makeLocal(i == 0 ? arguments : QStringList{QStringLiteral("--connect"), ports[i]}, nextId_++));
    }
    const QStringList tokenFiles = valuesOf(arguments, QStringLiteral("--token-file"));
    QString token;
    if (!tokenFiles.isEmpty()) {
        QFile file(tokenFiles.first());
        if (file.open(QIODevice::ReadOnly)) token = QString::fromUtf8(file.read(4096)).trimmed();
    }
    for (const QString& text : urls) {
        const QUrl url = serverUrl(text);
        if (url.isEmpty()) continue;
        if (!token.isEmpty()) tokens_.keep(url.toString(), token);
        const int index = append(makeRemote(url, tokens_.token(url.toString()).value_or(QString()), nextId_++));
        at(index).connect();
    }
}

void Bench::restore() {
    QSettings stored = preferences();
    nextId_ = std::max<std::uint64_t>(nextId_, stored.value(QStringLiteral("benchNextId"), 1).toULongLong());
    const int count = stored.beginReadArray(QStringLiteral("bench"));
    std::vector<std::tuple<QString, QString, int, QString, QString, QString, std::uint64_t>> rows;
    for (int i = 0; i < count; ++i) {
        stored.setArrayIndex(i);
        rows.emplace_back(stored.value(QStringLiteral("kind")).toString(), stored.value(QStringLiteral("port")).toString(),
                          stored.value(QStringLiteral("baud"), 115200).toInt(),
                          stored.value(QStringLiteral("station"), QStringLiteral("1")).toString(),
                          stored.value(QStringLiteral("url")).toString(), stored.value(QStringLiteral("name")).toString(),
                          stored.value(QStringLiteral("id")).toULongLong());
    }
    stored.endArray();
    for (const auto& [kind, port, baud, station, url, name, id] : rows) {
        const std::uint64_t entryId = id ? id : nextId_++;
        nextId_ = std::max(nextId_, entryId + 1);
        int index = -1;
        if (kind == QStringLiteral("remote")) {
            const QUrl server = serverUrl(url);
            if (server.isEmpty()) continue;
            index = append(makeRemote(server, tokens_.token(server.toString()).value_or(QString()), entryId));
        } else {
            // Restored as it was left, not connected; the first keeps --refresh and --evidence.
            index = append(makeLocal(firstLocalMade_ ? QStringList() : options_.arguments, entryId));
            placeLocal(at(index), port, baud, station);
        }
        entries_[static_cast<std::size_t>(index)]->name = name;
    }
}

std::unique_ptr<Bench::Entry> Bench::makeLocal(QStringList arguments, std::uint64_t id) {
    auto entry = std::make_unique<Entry>();
    entry->id = id;
    entry->slot = freeSlot();
    PowerModel::Options local;
    const auto offset = [&](std::uint16_t base) { return base ? static_cast<std::uint16_t>(base + *entry->slot) : base; };
    local.httpPort = offset(options_.httpPort);
    local.scpiPort = offset(options_.scpiPort);
    local.arguments = std::move(arguments);
    local.supportDirectory = options_.supportDirectory;
    local.listPorts = options_.listPorts;
    local.chooseSaveLocation = options_.chooseSaveLocation;
    local.chooseRecordingFolder = options_.chooseRecordingFolder;
    // The first local supply keeps the application's own preference keys, as a window with one supply always did.
    local.preferenceGroup = firstLocalMade_ ? QStringLiteral("bench-%1/").arg(id) : QString();
    firstLocalMade_ = true;
    entry->model = std::make_unique<PowerModel>(std::move(local));
    return entry;
}

std::unique_ptr<Bench::Entry> Bench::makeRemote(const QUrl& url, const QString& token, std::uint64_t id) {
    auto entry = std::make_unique<Entry>();
    entry->id = id;
    entry->url = url;
    RemoteSupply::Options remote;
    remote.url = url;
    remote.token = token;
    remote.preferenceGroup = QStringLiteral("bench-%1/").arg(id);
    remote.chooseSaveLocation = options_.chooseSaveLocation;
    remote.chooseRecordingFolder = options_.chooseRecordingFolder;
    entry->model = std::make_unique<RemoteSupply>(std::move(remote));
    return entry;
}

std::uint16_t Bench::freeSlot() const {
    for (std::uint16_t slot = 0;; ++slot) {
        const bool taken = std::any_of(entries_.begin(), entries_.end(), [slot](const auto& e) { return e->slot == slot; });
        if (!taken) return slot;
    }
}

int Bench::append(std::unique_ptr<Entry> entry) {
    SupplyModel* model = entry->model.get();
    entries_.push_back(std::move(entry));
    QObject::connect(model, &SupplyModel::changed, this, [this, model](ModelChanges what) {
        const int index = indexOf(*model);
        if (index >= 0) emit supplyChanged(index, what);
    });
    emit listChanged();
    return size() - 1;
}

SupplyModel& Bench::at(int index) const { return *entries_[static_cast<std::size_t>(index)]->model; }

int Bench::indexOf(const SupplyModel& model) const {
    for (int i = 0; i < size(); ++i) {
        if (&at(i) == &model) return i;
    }
    return -1;
}

void Bench::select(int index) {
    if (index < 0 || index >= size() || index == selected_) return;
    selected_ = index;
    emit selectionChanged(index);
}

QString Bench::name(int index) const {
    const Entry& entry = *entries_[static_cast<std::size_t>(index)];
    if (!entry.name.isEmpty()) return entry.name;
    if (const auto& identity = entry.model->identity()) return QStringLiteral("RD6030 · %1").arg(identity->serial);
    if (entry.model->remote()) return entry.url.authority();
    const QString port = entry.model->selectedPort();
    return port.isEmpty() ? QStringLiteral("电源 %1").arg(index + 1) : portName(port);
}

void Bench::rename(int index, const QString& name) {
    if (index < 0 || index >= size()) return;
    entries_[static_cast<std::size_t>(index)]->name = name.trimmed();
    emit listChanged();
    remember();
}

void Bench::remove(int index) {
    if (index < 0 || index >= size() || size() <= 1) return;
    auto gone = std::move(entries_[static_cast<std::size_t>(index)]);
    entries_.erase(entries_.begin() + index);
    gone->model->disconnect();  // lets go of the port; the output stays as it is
    if (selected_ >= size()) selected_ = size() - 1;
    emit listChanged();
    emit selectionChanged(selected_);
    remember();
    // Destroyed once the event loop comes back: its work in flight still finds it.
    gone->model.release()->deleteLater();
}

int Bench::addLocal(const QString& port, int baud, const QString& station) {
    const int index = append(makeLocal({}, nextId_++));
    placeLocal(at(index), port, baud, station);
    remember();
    return index;
}

std::variant<int, QString> Bench::addRemote(const QString& text, const QString& token) {
    const QUrl url = serverUrl(text);
    if (url.isEmpty()) return QStringLiteral("服务器地址须为 http://主机:端口");
    if (token.trimmed().isEmpty()) return QStringLiteral("请填写服务器的 API 访问令牌。");
    if (const auto failure = tokens_.keep(url.toString(), token.trimmed())) {
        return QStringLiteral("无法保存令牌：") + *failure;
    }
    const int index = append(makeRemote(url, token.trimmed(), nextId_++));
    remember();
    return index;
}

std::pair<std::uint16_t, std::uint16_t> Bench::ports(int index) const {
    const Entry& entry = *entries_[static_cast<std::size_t>(index)];
    if (!entry.slot) return {0, 0};
    const auto offset = [&](std::uint16_t base) { return base ? static_cast<std::uint16_t>(base + *entry.slot) : base; };
    return {offset(options_.httpPort), offset(options_.scpiPort)};
}

QStringList Bench::serialPorts() const {
    QStringList ports;
    for (const auto& path : options_.listPorts ? options_.listPorts() : SerialSession::ports()) {
        ports.append(QString::fromStdString(path));
    }
    return ports;
}

void Bench::connectAll() {
    for (int i = 0; i < size(); ++i) {
        if (!at(i).connected() && !at(i).busy()) at(i).connect();
    }
}

void Bench::switchAllOff(std::function<void(int, const SupplyModel::Result&)> done) {
    for (int i = 0; i < size(); ++i) {
        SupplyModel* model = &at(i);
        if (!model->connected()) continue;
        model->switchOff([this, model, done](const SupplyModel::Result& result) {
            const int index = indexOf(*model);
            if (index >= 0) done(index, result);
        });
    }
}

void Bench::disconnectAll() {
    for (int i = 0; i < size(); ++i) at(i).disconnect();
}

void Bench::remember() const {
    QSettings stored = preferences();
    // One local supply without a name is a window as it always was: nothing to remember.
    const bool plain = size() == 1 && !at(0).remote() && entries_[0]->name.isEmpty();
    stored.remove(QStringLiteral("bench"));
    if (plain) return;
    stored.setValue(QStringLiteral("benchNextId"), static_cast<qulonglong>(nextId_));
    stored.beginWriteArray(QStringLiteral("bench"), size());
    for (int i = 0; i < size(); ++i) {
        const Entry& entry = *entries_[static_cast<std::size_t>(i)];
        stored.setArrayIndex(i);
        stored.setValue(QStringLiteral("kind"), entry.model->remote() ? QStringLiteral("remote") : QStringLiteral("local"));
        stored.setValue(QStringLiteral("id"), static_cast<qulonglong>(entry.id));
        stored.setValue(QStringLiteral("name"), entry.name);
        if (entry.model->remote()) {
            stored.setValue(QStringLiteral("url"), entry.url.toString());
        } else {
            stored.setValue(QStringLiteral("port"), entry.model->selectedPort());
            stored.setValue(QStringLiteral("baud"), entry.model->baud());
            stored.setValue(QStringLiteral("station"), entry.model->station());
        }
    }
    stored.endArray();
}

}  // namespace varek
