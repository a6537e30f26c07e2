// A bench in one window, driven through Qt Test: two local simulators and a third
// served by a spawned varek-server, each supply's writes reaching only its own
// simulator, the further local supply's own ports, a silent supply holding nobody
// up, a server that goes and comes back, all outputs off at once, and the bench
// remembered.
#include <QFile>
#include <QProcess>
#include <QPushButton>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <future>
#include <random>

#include "dashboard.hpp"
#include "loopback_client.hpp"
#include "varek_test_support.hpp"
#include "window_fixture.hpp"

namespace varek::test {
namespace {

/// A port below the system's ephemeral range (where no outgoing connection takes it
/// first) that was free a moment ago, and its next port too.
std::uint16_t freePair() {
    const auto bound = [](std::uint16_t port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    };
    static std::mt19937 pick{std::random_device{}()};
    for (;;) {
        const auto port = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20000, 31998)(pick));
        if (bound(port) && bound(port + 1)) return port;
    }
}

std::size_t writes(const sim::SupplySimulator& sim) { return writesAmong(sim.requests()).size(); }

class BenchTest : public WindowFixture {
protected:
    void SetUp() override {
        for (std::uint32_t serial : {12345u, 22222u, 33333u}) addSupply().setSerial(serial);
        startServer();
        QFile token(dir_.filePath("server-token"));
        ASSERT_TRUE(token.open(QIODevice::WriteOnly));
        token.write(serverToken_.toUtf8());
        token.close();
        httpBase_ = freePair();
        scpiBase_ = freePair();
        openBench({"--connect", sims_[0]->path().c_str(), "--connect", sims_[1]->path().c_str(), "--remote",
                   QStringLiteral("http://127.0.0.1:%1").arg(serverPort_), "--token-file", dir_.filePath("server-token")},
                  httpBase_, scpiBase_);
        ASSERT_TRUE(waitFor([&] { return all([](const SupplyModel& m) { return m.connected() && !m.recovering(); }); }));
    }
    void TearDown() override {
        app_.reset();
        server_.kill();
        server_.waitForFinished();
    }

    void startServer() {
        if (!serverPort_) serverPort_ = freePair();
        const QString home = dir_.filePath("server-home");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home);
        server_.setProcessEnvironment(environment);
        server_.start(qEnvironmentVariable("VAREK_BIN_DIR") + QStringLiteral("/varek-server"),
                      {QString::fromStdString(sims_[2]->path()), QStringLiteral("--http-port"), QString::number(serverPort_),
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
    /// Selects supply `index` by its item in the visible navigation.
    void select(int index) {
        auto* item = window().dashboard()->findChild<QWidget*>(QStringLiteral("supplyItem%1").arg(index));
        ASSERT_NE(item, nullptr);
        QTest::mouseClick(item, Qt::LeftButton);
        ASSERT_EQ(bench().selected(), index);
    }

    QProcess server_;
    std::uint16_t serverPort_ = 0;
    QString serverToken_;
    std::uint16_t httpBase_ = 0, scpiBase_ = 0;
};

TEST_F(BenchTest, EachSupplyIsWholeOnItsOwn) {
    ASSERT_EQ(bench().size(), 3);
    EXPECT_EQ(bench().name(1), QStringLiteral("RD6030 · 22222"));

    // Each supply's write reaches its own simulator only.
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        select(i);
        Dashboard* page = window().dashboard();
        type(page->findChild<QLineEdit*>(QStringLiteral("voltageField")), QStringLiteral("%1.%2").arg(3 + i).arg(i + 1));
        std::size_t before[3] = {writes(*sims_[0]), writes(*sims_[1]), writes(*sims_[2])};
        click(page->findChild<QPushButton*>(QStringLiteral("applyButton")));
        ASSERT_TRUE(waitFor([&] { return sims_[i]->reg(8) == (3 + i) * 100 + (i + 1) * 10; }));
        for (int j = 0; j < 3; ++j) EXPECT_EQ(writes(*sims_[j]) > before[j], j == i) << j;
    }
    saveShot(&window(), QStringLiteral("bench-dashboard.png"));

    // The second local supply serves the next pair of ports with its own identity.
    const auto [http, scpi] = bench().ports(1);
    EXPECT_EQ(http, httpBase_ + 1);
    EXPECT_EQ(scpi, scpiBase_ + 1);
    ASSERT_TRUE(waitFor([&] { return dynamic_cast<PowerModel&>(bench().at(1)).scpiPort() == scpi; }));
    LoopbackClient instrument(scpi);
    instrument.send("*IDN?\n");
    EXPECT_NE(instrument.readLine().find(",22222,"), std::string::npos);
    // Answered on this (the GUI) thread: the request waits on another.
    auto status = std::async(std::launch::async, [http = http, token = bench().at(1).apiToken().toStdString()] {
        return httpExchange(http, "GET /v1/status HTTP/1.1\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    });
    ASSERT_TRUE(waitFor([&] { return status.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(status.get().substr(0, 12), "HTTP/1.1 200");

    // A silent supply holds up nobody else's samples.
    sims_[0]->setSilent(true);
    const std::size_t second = bench().at(1).samples().size(), remote = bench().at(2).samples().size();
    EXPECT_TRUE(waitFor([&] {
        return bench().at(1).samples().size() >= second + 10 && bench().at(2).samples().size() >= remote + 10;
    }));
    sims_[0]->setSilent(false);

    // A server that goes is shown unreachable, and comes back on its own.
    server_.kill();
    server_.waitForFinished();
    EXPECT_TRUE(waitFor([&] { return bench().at(2).recovering() && bench().at(2).notice().contains(QStringLiteral("无法连接服务器")); }));
    startServer();
    EXPECT_TRUE(waitFor([&] { return bench().at(2).connected() && !bench().at(2).recovering(); }));

    // Every output off at once, each confirmed by read-back, in words on its card.
    for (const auto& sim : sims_) sim->setReg(18, 1);
    window().showOverview();
    ASSERT_TRUE(waitFor([&] { return all([](const SupplyModel& m) { return m.latest() && m.latest()->outputEnabled; }); }));
    saveShot(&window(), QStringLiteral("bench-overview.png"));
    click("allOffButton");
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(waitFor([&] { return find<QLabel>(QStringLiteral("cardResult%1").arg(i))->text() == QStringLiteral("已关闭，读回确认"); }));
        EXPECT_EQ(sims_[i]->reg(18), 0);
    }

    // The server's token is kept where only its user may read it.
    struct stat info {};
    ASSERT_EQ(::stat(bench().tokens().path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // The next start without supplies on its command line restores the bench, not connected.
    bench().rename(0, QStringLiteral("主板 5V"));
    window().openAddDialog();
    saveShot(find<QWidget>("addSupplyDialog"), QStringLiteral("bench-add.png"));
    app_.reset();
    openBench({}, httpBase_, scpiBase_);
    ASSERT_EQ(bench().size(), 3);
    EXPECT_EQ(bench().name(0), QStringLiteral("主板 5V"));
    EXPECT_EQ(bench().at(1).selectedPort(), QString::fromStdString(sims_[1]->path()));
    EXPECT_TRUE(bench().at(2).remote());
    EXPECT_TRUE(all([](const SupplyModel& m) { return !m.connected(); }));
}

}  // namespace
}  // namespace varek::test
