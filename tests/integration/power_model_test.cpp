// Connecting, polling, recovery and the dashboard's commands, against the simulator.
#include <asio.hpp>

#include "power_model_fixture.hpp"
#include "varek/format.hpp"
#include "varek/serial_session.hpp"

namespace varek::test {
namespace {

int storedRate() { return QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")).value("refreshRate").toInt(); }

/// True when the model left the port closed: another session can take it.
bool portFree(const std::string& path, std::uint8_t station = 1) {
    try {
        SerialSession().connect(path, 115200, station);
        return true;
    } catch (const VarekError& e) {
        return e.kind() == VarekError::Case::unsupported;
    }
}

TEST_F(PowerModelTest, StationTextIdentificationAndATakenSCPIPort) {
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io, asio::ip::tcp::endpoint(asio::ip::address_v4::any(), 0));
    scpiPort = taken.local_endpoint().port();
    sim::SimulatorOptions options;
    options.station = 7;
    start({}, options);
    for (const char* text : {"0", "248", "abc", "", " 7"}) {
        model->setStation(QString::fromUtf8(text));
        model->connect();
        EXPECT_EQ(model->errorMessage(), QStringLiteral("站号须为 1–247。")) << text;
        EXPECT_FALSE(model->busy()) << text;
    }
    EXPECT_EQ(sim->requestCount(), 0u);
    model->setStation(QStringLiteral("+7"));

    sim->setLatency(300ms);  // a disconnect during identification discards the late identity
    model->connect();
    EXPECT_EQ(model->notice(), QStringLiteral("正在识别电源…"));
    model->disconnect();
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    EXPECT_FALSE(model->connected() || model->identity() || model->latest() || model->hasSCPIServer());
    EXPECT_EQ(model->notice(), QStringLiteral("已断开 · 电源输出保持原有状态"));
    EXPECT_TRUE(portFree(sim->path(), 7));

    sim->setLatency(0ms);
    connectModel();
    ASSERT_TRUE(waitFor([&] { return lastLog().starts_with("SCPI启动失败："); }));
    EXPECT_EQ(lastLog(), "SCPI启动失败：Address already in use");
    EXPECT_TRUE(model->connected());
    waitForSamples(2);
}

TEST_F(PowerModelTest, ConnectPollsAtTheChosenRateAndDisconnectKeepsTheHistory) {
    start({QStringLiteral("--refresh"), QStringLiteral("10")});
    sim->setReg(8, 1234);
    sim->setReg(9, 150);
    std::optional<std::optional<double>> rateAtFirstSample;
    QObject::connect(model.get(), &PowerModel::changed, model.get(), [&](PowerModel::Changes what) {
        if (!(what & PowerModel::Change::samples)) return;
        if (model->connected() && !rateAtFirstSample) rateAtFirstSample = model->actualRefreshRate();
    });
    model->connect();
    model->connect();  // busy: ignored
    connectModel();
    model->connect();  // connected: ignored
    ASSERT_TRUE(rateAtFirstSample);
    EXPECT_FALSE(*rateAtFirstSample);
    EXPECT_EQ(model->voltageDraft(), QStringLiteral("12.34"));
    EXPECT_EQ(model->currentDraft(), QStringLiteral("1.50"));
    EXPECT_TRUE(model->hasSCPIServer());
    ASSERT_TRUE(waitFor([&] { return model->scpiPort() != 0; }));
    // A device line runs on the model's session thread, between its polls.
    std::future<std::string> measured = std::async(std::launch::async, [port = model->scpiPort()] {
        LoopbackClient client(port);
        client.send("MEAS:VOLT?\n");
        return client.readLine();
    });
    ASSERT_TRUE(waitFor([&] { return measured.wait_for(0s) == std::future_status::ready; }));
    EXPECT_EQ(measured.get(), formatFixed2(sim->reg(10) / 100.0) + "\n");
    waitForSamples(6);
    model->setRefreshRate(2);
    const std::size_t switched = model->samples().size();
    waitForSamples(switched + 4);
    // Each read starts a whole period after the previous one; slack covers a late reply.
    const auto& s = model->samples();
    EXPECT_GE(s[switched + 3].time - s[switched].time, 1300ms);
    EXPECT_GE(s[5].time - s[1].time, 300ms);
    EXPECT_EQ(storedRate(), 2);
    model->disconnect();
    EXPECT_FALSE(model->hasSCPIServer());
    EXPECT_FALSE(model->actualRefreshRate());
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    EXPECT_EQ(model->notice(), QStringLiteral("已断开 · 电源输出保持原有状态"));
    EXPECT_EQ(lastLog(), "串口已断开，未改变电源输出。");
    EXPECT_GE(model->samples().size(), switched + 4);
    EXPECT_TRUE(portFree(sim->path()));
}

TEST_F(PowerModelTest, SettersAnnounceOnlyRealChangesUnderTheirOwnName) {
    start();
    // The listener's state arrives from its thread; let it settle before counting.
    ASSERT_TRUE(waitFor([&] { return model->apiState().startsWith(QStringLiteral("API已监听")); }));
    using C = PowerModel::Change;
    const struct {
        const char* name;
        std::function<void()> act;
        PowerModel::Changes expected;
    } cases[] = {
        {"same ports", [&] { model->refreshPorts(); }, {}},
        {"same port", [&] { model->setSelectedPort(model->selectedPort()); }, {}},
        {"other port", [&] { model->setSelectedPort(QStringLiteral("/dev/ttyUSB9")); }, C::selectedPort},
        {"same baud", [&] { model->setBaud(115200); }, {}},
        {"other baud", [&] { model->setBaud(9600); }, C::baud},
        {"same station", [&] { model->setStation(QStringLiteral("1")); }, {}},
        {"other station", [&] { model->setStation(QStringLiteral("2")); }, C::station},
        {"same rate", [&] { model->setRefreshRate(5); }, {}},
        {"rate not offered", [&] { model->setRefreshRate(3); }, {}},
        {"other rate", [&] { model->setRefreshRate(2); }, C::refreshRate},
        {"same voltage draft", [&] { model->setVoltageDraft(QStringLiteral("12.40")); }, {}},
        {"other voltage draft", [&] { model->setVoltageDraft(QStringLiteral("5")); }, C::drafts},
        {"other current draft", [&] { model->setCurrentDraft(QStringLiteral("2")); }, C::drafts},
        {"no alert to dismiss", [&] { model->clearErrorMessage(); }, {}},
        {"port gone from the list", [&] { model->refreshPorts(); }, C::selectedPort},
    };
    for (const auto& c : cases) {
        PowerModel::Changes seen;
        int emitted = 0;
        const auto connection = QObject::connect(model.get(), &PowerModel::changed, model.get(),
                                                 [&](PowerModel::Changes what) {
                                                     seen |= what;
                                                     ++emitted;
                                                 });
        c.act();
        QObject::disconnect(connection);
        EXPECT_EQ(seen, c.expected) << c.name;
        EXPECT_EQ(emitted, c.expected ? 1 : 0) << c.name;
    }
}

TEST_F(PowerModelTest, ConnectFailuresShowAndLogTheDescription) {
    sim::SimulatorOptions options;
    options.model = 60300;
    start({}, options);
    const std::pair<std::string, std::string> cases[] = {
        {sim->path(), "暂不支持此电源型号（识别码 60300）。"},
        {"/dev/varek-no-such-port", "无法打开串口：No such file or directory"},
    };
    for (const auto& [port, message] : cases) {
        model->setSelectedPort(QString::fromStdString(port));
        model->connect();
        ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
        EXPECT_EQ(model->notice(), QStringLiteral("连接失败"));
        EXPECT_EQ(model->errorMessage().value_or("").toStdString(), message);
        EXPECT_EQ(lastLog(), message);
    }
}

struct RecoveryCase {
    const char* name;
    int rate;
    bool corrupt;          // a bad checksum instead of a timeout
    std::uint32_t serial;  // reported afterwards; 12345 is the connected supply
    const char* line;
    int rateAfter;
};

class PowerModelRecovery : public PowerModelTest, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(PowerModelRecovery, OnlyOneTimeoutGetsAVerifiedRead) {
    const auto& c = GetParam();
    start({QStringLiteral("--refresh"), QString::number(c.rate)});
    connectModel();
    bool rateShownWhileRecovering = false;
    QObject::connect(model.get(), &PowerModel::changed, model.get(), [&](PowerModel::Changes what) {
        if (what & PowerModel::Change::recovering) {
            rateShownWhileRecovering |= model->recovering() && model->actualRefreshRate();
        }
    });
    sim->setSerial(c.serial);
    c.corrupt ? sim->corruptNextCrc(1) : silenceNext(1);
    ASSERT_TRUE(waitFor([&] { return !model->busy() && !model->events().isEmpty() && lastLog() == c.line; }));
    EXPECT_FALSE(rateShownWhileRecovering);
    EXPECT_EQ(model->refreshRate(), c.rateAfter);
    if (c.corrupt || c.serial != 12345) {
        EXPECT_FALSE(model->connected() || model->hasSCPIServer());
        EXPECT_EQ(model->notice(), QStringLiteral("连接中断 · 读数已停止"));
        EXPECT_EQ(model->errorMessage().value_or("").toStdString(), c.line);
        EXPECT_TRUE(portFree(sim->path()));
    } else {
        EXPECT_EQ(storedRate(), 5);
        waitForSamples(model->samples().size() + 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PowerModelRecovery,
    ::testing::Values(RecoveryCase{"TenHertz", 10, false, 12345, "核对同一电源后降至 5 Hz，读取已恢复。", 5},
                      RecoveryCase{"FiveHertz", 5, false, 12345, "单次超时后核对同一电源，读取已恢复。", 5},
                      RecoveryCase{"OtherSupply", 5, false, 54321, "电源身份已变化，请重新连接。", 5},
                      RecoveryCase{"OtherReadError", 10, true, 12345, "收到的通讯数据校验失败。", 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PowerModelTest, ApplyAndSwitchEachWriteOnlyTheirOwnRegisters) {
    start({QStringLiteral("--refresh"), QStringLiteral("1")});
    connectModel();
    const struct {
        const char *voltage, *current, *error, *shown;  // shown: "V / A" after success
    } cases[] = {
        {"12.345", "1", "最多输入两位小数，步进为 0.01。", nullptr}, {"61", "1", "数值须在 0–60 之间。", nullptr},
        {"abc", "30.01", "数值须在 0–60 之间。", nullptr},           {"5", "30.01", "数值须在 0–30 之间。", nullptr},
        {" 5 ", "1", nullptr, "5.00V / 1.00A"},                      {"60", "30", nullptr, "60.00V / 30.00A"},
        {"0", "0", nullptr, "0.00V / 0.00A"},
    };
    for (const auto& c : cases) {
        model->setVoltageDraft(QString::fromUtf8(c.voltage));
        model->setCurrentDraft(QString::fromUtf8(c.current));
        model->clearErrorMessage();
        const std::size_t writes = writesTo(sim->requests(), 8);
        model->applyValues();
        ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
        const std::string shown = (model->voltageDraft() + "V / " + model->currentDraft() + "A").toStdString();
        if (c.error) {
            EXPECT_EQ(model->errorMessage().value_or("").toStdString(), c.error) << c.voltage;
            EXPECT_EQ(writesTo(sim->requests(), 8), writes) << c.voltage;
            EXPECT_EQ(shown, std::string(c.voltage) + "V / " + c.current + "A");
        } else {
            EXPECT_FALSE(model->errorMessage()) << c.voltage;
            EXPECT_EQ(shown, c.shown);
            EXPECT_EQ(lastLog(), "设定 " + shown + " 已读回确认。");
        }
    }
    EXPECT_EQ(sim->reg(8), 0);
    EXPECT_EQ(writesTo(sim->requests(), 18), 0u);  // applying never touches the output

    // The panel changes the voltage between the write and its read-back.
    sim->onRequest([this](const Bytes& f) {
        if (isRead(f, 8, 2)) sim->setReg(8, 1111);
    });
    model->setVoltageDraft(QStringLiteral("12.40"));
    model->setCurrentDraft(QStringLiteral("0.5"));
    model->applyValues();
    ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
    EXPECT_EQ(model->errorMessage(), QStringLiteral("电源读回值与请求不一致，请检查面板。"));
    EXPECT_EQ(model->voltageDraft(), QStringLiteral("12.40"));
    EXPECT_EQ(model->currentDraft(), QStringLiteral("0.5"));

    const std::size_t setpointWrites = writesTo(sim->requests(), 8);
    for (const bool on : {true, false}) {
        model->changeOutput(on);
        ASSERT_TRUE(waitFor([&] { return !model->busy(); }));
        EXPECT_EQ(model->latest()->outputEnabled, on);
        EXPECT_EQ(lastLog(), on ? "输出已开启，寄存器读回确认。" : "输出已关闭，寄存器读回确认。");
    }
    EXPECT_EQ(writesTo(sim->requests(), 18), 2u);
    EXPECT_EQ(writesTo(sim->requests(), 8), setpointWrites);

    // Another supply behind the same adapter, answering at once: once the last proof of
    // identity is 3 s old, a write begins with one, and nothing reaches the stranger.
    sim->setSerial(54321);
    const auto swapped = std::chrono::steady_clock::now();
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::chrono::steady_clock::now() - swapped > 3050ms; }, 10000));
    model->changeOutput(true);
    ASSERT_TRUE(waitFor([&] { return model->events().join('\n').contains(QStringLiteral("电源身份已变化")); }));
    EXPECT_EQ(writesTo(sim->requests(), 18), 2u);
}

}  // namespace
}  // namespace varek::test
