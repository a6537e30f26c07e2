#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "supply_model.hpp"
#include "varek/control_server.hpp"
#include "varek/scpi_server.hpp"
#include "token_store.hpp"

namespace varek {

/// The supplies of one window: local ones (a serial port here, each with its own
/// engine, API and SCPI ports) and remote ones (a varek-server elsewhere), in the
/// user's order, with the selected one, their names and the list remembered for the
/// next start. GUI thread.
class Bench : public QObject {
    Q_OBJECT

public:
    struct Options {
        /// Process arguments without the program name: "--connect PORT" and "--remote URL"
        /// (each may be given several times), "--token-file FILE", "--refresh", "--evidence".
        QStringList arguments;
        /// The first local supply's ports; each further local supply takes the next free
        /// pair (port + 1, + 2, ...). 0 lets every supply take a port the system picks.
        std::uint16_t httpPort = ControlServer::port;
        std::uint16_t scpiPort = SCPIServer::port;
        /// Base of the token files; empty means the per-user default.
        std::filesystem::path supportDirectory;
        std::function<std::vector<std::string>()> listPorts;
        std::function<QString(const QString& proposedName)> chooseSaveLocation;
        std::function<QString(const QString& currentFolder)> chooseRecordingFolder;
    };

    explicit Bench(Options options, QObject* parent = nullptr);
    /// Every supply disconnects (outputs untouched) and its servers stop.
    ~Bench() override;

    int size() const { return static_cast<int>(entries_.size()); }
    SupplyModel& at(int index) const;
    int indexOf(const SupplyModel& model) const;
    int selected() const { return selected_; }
    SupplyModel& current() const { return at(selected_); }
    /// Shows supply `index` (no-op when out of range).
    void select(int index);

    /// The user's name for supply `index`, else "RD6030 · <serial>" once known, else the
    /// port's or the server's name.
    QString name(int index) const;
    /// Names supply `index` (an empty name gives the default back).
    void rename(int index, const QString& name);
    /// Disconnects and forgets supply `index`; the output is untouched. The last supply stays.
    void remove(int index);
    /// Adds a local supply on `port` (not connected); its index.
    int addLocal(const QString& port, int baud, const QString& station);
    /// Adds a supply behind the varek-server at `url` with `token` (kept in the token
    /// store, not connected); its index, or the reason it cannot be added.
    std::variant<int, QString> addRemote(const QString& url, const QString& token);
    /// The local supply's HTTP and SCPI ports as configured (0 for remote ones or port 0).
    std::pair<std::uint16_t, std::uint16_t> ports(int index) const;

    /// Connects every supply not connected yet.
    void connectAll();
    /// Switches every connected supply's output off at once, each confirmed by
    /// read-back; `done` hears each supply's result (GUI thread).
    void switchAllOff(std::function<void(int index, const SupplyModel::Result&)> done);
    /// Disconnects every supply; outputs untouched.
    void disconnectAll();
    /// Keeps the list of supplies for the next start.
    void remember() const;

    TokenStore& tokens() { return tokens_; }
    /// The serial ports a local supply could be added on.
    QStringList serialPorts() const;

signals:
    /// Supplies were added, removed, renamed or reordered.
    void listChanged();
    /// Another supply is shown.
    void selectionChanged(int index);
    /// A supply's published fields changed (forwarded from its model).
    void supplyChanged(int index, varek::ModelChanges what);

private:
    struct Entry;
    int append(std::unique_ptr<Entry> entry);
    std::unique_ptr<Entry> makeLocal(QStringList arguments, std::uint64_t id);
    std::unique_ptr<Entry> makeRemote(const QUrl& url, const QString& token, std::uint64_t id);
    /// The smallest port offset no local supply of this window uses.
    std::uint16_t freeSlot() const;
    void restore();
    void readCommandLine();

    Options options_;
    TokenStore tokens_;
    std::vector<std::unique_ptr<Entry>> entries_;
    int selected_ = 0;
    std::uint64_t nextId_ = 1;
    bool firstLocalMade_ = false;
};

}  // namespace varek
