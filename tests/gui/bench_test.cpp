// A bench in one window, driven through Qt Test: two local simulators and a third
// served by a spawned varek-server, each supply's writes reaching only its own
// simulator, the further local supply's own ports, a silent supply holding nobody
// up, a server that goes and comes back, all outputs off at once, and the bench
// remembered.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <future>

#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>

#include "app_shell.hpp"
#include "bench.hpp"
#include "dashboard.hpp"
#include "loopback_client.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek {
namespace {

bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

/// A port the system handed out a moment ago whose next port was free too.
std::uint16_t freePair() {
    for (;;) {
        const auto bound = [](std::uint16_t port) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            socklen_t size = sizeof address;
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
            ::close(fd);
            return ok ? ntohs(address.sin_port) : std::uint16_t{0};
        };
        const std::uint16_t port = bound(0);
        if (port && port < 65000 && bound(port + 1)) return port;
    }
}

std::size_t writes(const sim::SupplySimulator& sim) {
    const auto frames = sim.requests();
    return std::count_if(frames.begin(), frames.end(), [](const Bytes& f) { return f.size() > 1 && (f[1] == 0x06 || f[1] == 0x10); });
}

void shot(QWidget* widget, const char* name) {
    const QString dir = qEnvironmentVariable("VAREK_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    // The redraw a change scheduled comes first.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QDir().mkpath(dir);
    ASSERT_TRUE(widget->grab().save(QDir(dir).filePath(QString::fromUtf8(name))));
}

class BenchTest : public testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.filePath("settings"));
        for (auto* sim : {&first_, &second_, &third_}) {
            *sim = std::make_unique<sim::SupplySimulator>(sim::SimulatorOptions{});
        }
        second_->setSerial(22222);
        third_->setSerial(33333);
        startServer();
        QFile token(dir_.filePath("server-token"));
        ASSERT_TRUE(token.open(QIODevice::WriteOnly));
        token.write(serverToken_.toUtf8());
        token.close();
        httpBase_ = freePair();
        scpiBase_ = freePair();
        open({"--connect", first_->path().c_str(), "--connect", second_->path().c_str(), "--remote",
              QStringLiteral("http://127.0.0.1:%1").arg(serverPort_), "--token-file", dir_.filePath("server-token")});
        ASSERT_TRUE(waitFor([&] { return all([](const SupplyModel& m) { return m.connected() && !m.recovering(); }); }));
    }
    void TearDown() override {
        app_.reset();
        server_.kill();
        server_.waitForFinished();
    }

    void open(QStringList arguments) {
        Bench::Options options;
        options.arguments = std::move(arguments);
        options.httpPort = httpBase_;
        options.scpiPort = scpiBase_;
        options.supportDirectory = dir_.filePath("support").toStdString();
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(options));
        app_->window().resize(1400, 920);
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
    }

    void startServer() {
        if (!serverPort_) serverPort_ = freePair();
        const QString home = dir_.filePath("server-home");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home);
        server_.setProcessEnvironment(environment);
        server_.start(qEnvironmentVariable("VAREK_BIN_DIR") + QStringLiteral("/varek-server"),
                      {QString::fromStdString(third_->path()), QStringLiteral("--http-port"), QString::number(serverPort_),
                       QStringLiteral("--scpi-port"), QString::number(freePair()), QStringLiteral("--poll"), QStringLiteral("10")});
        ASSERT_TRUE(waitFor([&] { return server_.readAllStandardError().contains("API"); }));
        QFile token(home + QStringLiteral("/VAREK Studio/API/access-token"));
        ASSERT_TRUE(token.open(QIODevice::ReadOnly));
        serverToken_ = QString::fromUtf8(token.readAll()).trimmed();
    }

    Bench& bench() { return app_->bench(); }
    bool all(const std::function<bool(const SupplyModel&)>& holds) {
        for (int i = 0; i < bench().size(); ++i) {
            if (!holds(bench().at(i))) return false;
        }
        return true;
    }
    template <class T>
    T* find(const QString& name) {
        T* widget = app_->window().findChild<T*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    /// Selects supply `index` by its item in the visible navigation.
    void select(int index) {
        Dashboard* shown = app_->window().dashboard();
        auto* item = shown->findChild<QWidget*>(QStringLiteral("supplyItem%1").arg(index));
        ASSERT_NE(item, nullptr);
        QTest::mouseClick(item, Qt::LeftButton);
        ASSERT_EQ(bench().selected(), index);
    }

    QTemporaryDir dir_;
    std::unique_ptr<sim::SupplySimulator> first_, second_, third_;
    QProcess server_;
    std::uint16_t serverPort_ = 0;
    QString serverToken_;
    std::uint16_t httpBase_ = 0, scpiBase_ = 0;
    std::unique_ptr<VarekPowerStudioApp> app_;
};

TEST_F(BenchTest, EachSupplyIsWholeOnItsOwn) {
    ASSERT_EQ(bench().size(), 3);
    EXPECT_EQ(bench().name(1), QStringLiteral("RD6030 · 22222"));
    EXPECT_TRUE(find<QWidget>(QStringLiteral("overviewItem")));

    // Each supply's write reaches its own simulator only.
    sim::SupplySimulator* sims[] = {first_.get(), second_.get(), third_.get()};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        select(i);
        Dashboard* page = app_->window().dashboard();
        auto* voltage = page->findChild<QLineEdit*>(QStringLiteral("voltageField"));
        voltage->selectAll();
        QTest::keyClicks(voltage, QStringLiteral("%1.%2").arg(3 + i).arg(i + 1));
        std::size_t before[3] = {writes(*sims[0]), writes(*sims[1]), writes(*sims[2])};
        QTest::mouseClick(page->findChild<QPushButton*>(QStringLiteral("applyButton")), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return sims[i]->reg(8) == (3 + i) * 100 + (i + 1) * 10; }));
        for (int j = 0; j < 3; ++j) EXPECT_EQ(writes(*sims[j]) > before[j], j == i) << j;
    }
    shot(&app_->window(), "bench-dashboard.png");

    // The second local supply serves the next pair of ports with its own identity.
    const auto [http, scpi] = bench().ports(1);
    EXPECT_EQ(http, httpBase_ + 1);
    EXPECT_EQ(scpi, scpiBase_ + 1);
    ASSERT_TRUE(waitFor([&] { return dynamic_cast<PowerModel&>(bench().at(1)).scpiPort() == scpi; }));
    test::LoopbackClient instrument(scpi);
    instrument.send("*IDN?\n");
    EXPECT_NE(instrument.readLine().find(",22222,"), std::string::npos);
    // Answered on this (the GUI) thread: the request waits on another.
    auto status = std::async(std::launch::async, [http = http, token = bench().at(1).apiToken().toStdString()] {
        return test::httpExchange(http, "GET /v1/status HTTP/1.1\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    });
    ASSERT_TRUE(waitFor([&] { return status.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(status.get().substr(0, 12), "HTTP/1.1 200");

    // A silent supply holds up nobody else's samples.
    first_->setSilent(true);
    const std::size_t second = bench().at(1).samples().size(), remote = bench().at(2).samples().size();
    EXPECT_TRUE(waitFor([&] {
        return bench().at(1).samples().size() >= second + 10 && bench().at(2).samples().size() >= remote + 10;
    }));
    first_->setSilent(false);

    // A server that goes is shown unreachable, and comes back on its own.
    server_.kill();
    server_.waitForFinished();
    EXPECT_TRUE(waitFor([&] { return bench().at(2).recovering() && bench().at(2).notice().contains(QStringLiteral("无法连接服务器")); }));
    startServer();
    EXPECT_TRUE(waitFor([&] { return bench().at(2).connected() && !bench().at(2).recovering(); }));

    // Every output off at once, each confirmed by read-back, in words on its card.
    for (auto* sim : sims) sim->setReg(18, 1);
    app_->window().showOverview();
    ASSERT_TRUE(waitFor([&] { return all([](const SupplyModel& m) { return m.connected() && !m.recovering(); }); }));
    ASSERT_TRUE(waitFor([&] { return all([](const SupplyModel& m) { return m.latest() && m.latest()->outputEnabled; }); }));
    shot(&app_->window(), "bench-overview.png");
    QTest::mouseClick(find<QPushButton>(QStringLiteral("allOffButton")), Qt::LeftButton);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(waitFor([&] { return find<QLabel>(QStringLiteral("cardResult%1").arg(i))->text() == QStringLiteral("已关闭，读回确认"); }));
        EXPECT_EQ(sims[i]->reg(18), 0);
    }

    // The server's token is kept where only its user may read it.
    struct stat info {};
    ASSERT_EQ(::stat(bench().tokens().path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The next start without supplies on its command line restores the bench, not connected.
    bench().rename(0, QStringLiteral("主板 5V"));
    app_->window().openAddDialog();
    shot(find<QWidget>(QStringLiteral("addSupplyDialog")), "bench-add.png");
    app_.reset();
    open({});
    ASSERT_EQ(bench().size(), 3);
    EXPECT_EQ(bench().name(0), QStringLiteral("主板 5V"));
    EXPECT_EQ(bench().at(1).selectedPort(), QString::fromStdString(second_->path()));
    EXPECT_TRUE(bench().at(2).remote());
    EXPECT_TRUE(all([](const SupplyModel& m) { return !m.connected(); }));
}

}  // namespace
}  // namespace varek
