// The dashboard and the application shell driven as a user would: clicks and
// typing through Qt Test, a real PowerModel, a simulated supply on a real pty.
#include <gtest/gtest.h>

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

#include "app_shell.hpp"
#include "dashboard.hpp"
#include "trend_panel.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

constexpr int patience = 30000;  // ms; generous for a loaded machine

QString regText(const sim::SupplySimulator& sim, std::uint16_t address) {
    return QString::fromStdString(formatFixed2(sim.reg(address) / 100.0));
}

void saveShot(QWidget* window, const QString& name, QWidget* overlay = nullptr) {
    const QString dir = qEnvironmentVariable("VAREK_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    QPixmap shot = window->grab();
    if (overlay) {
        // The alert is a window of its own and offscreen windows have no frame:
        // lay it over the centre with a plain title bar, as a desktop would.
        const QPixmap top = overlay->grab();
        QPainter p(&shot);
        p.fillRect(shot.rect(), QColor(0, 0, 0, 90));
        const QRect body((shot.width() - top.width()) / 2, shot.height() / 3, top.width(), top.height());
        const QRect bar(body.left(), body.top() - 28, body.width(), 28);
        p.fillRect(bar, QColor(38, 44, 54));
        p.setPen(QColor(230, 234, 240));
        p.drawText(bar, Qt::AlignCenter, overlay->windowTitle());
        p.drawPixmap(body.topLeft(), top);
        p.setPen(QColor(255, 255, 255, 40));
        p.drawRect(bar.united(body).adjusted(0, 0, -1, -1));
    }
    ASSERT_TRUE(shot.save(QDir(dir).filePath(name)));
}

/// One simulator, one application (model + window), per test.
class StudioTest : public testing::Test {
protected:
    void start(bool withPort = true) {
        sim_ = std::make_unique<sim::SupplySimulator>();
        // Output on with a setpoint whose readings differ in every digit.
        sim_->setReg(8, 1234);
        sim_->setReg(9, 200);
        sim_->setReg(18, 1);
        PowerModel::Options options;
        options.httpPort = 0;
        options.scpiPort = 0;
        options.supportDirectory = dir_.filePath("support").toStdString();
        const std::string path = sim_->path();
        options.listPorts = [withPort, path] { return withPort ? std::vector<std::string>{path} : std::vector<std::string>{}; };
        options.chooseSaveLocation = [this](const QString& proposed) {
            proposedName_ = proposed;
            return dir_.filePath("export.csv");
        };
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(options));
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
    }

    void TearDown() override {
        app_.reset();
        sim_.reset();
    }

    template <class T>
    T* find(const char* name) {
        T* widget = app_->window().findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString text(const char* name) { return find<QLabel>(name)->text(); }
    PowerModel& model() { return app_->model(); }

    void click(QAbstractButton* button) {
        ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }
    void type(const char* field, const QString& text) {
        auto* edit = find<QLineEdit>(field);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, patience); }

    void connectThroughButton() {
        click(find<QPushButton>("connectButton"));
        ASSERT_TRUE(waitFor([&] { return model().connected() && !model().busy() && model().samples().size() >= 3; }));
    }

    QTemporaryDir dir_;
    QString proposedName_;
    std::unique_ptr<sim::SupplySimulator> sim_;
    std::unique_ptr<VarekPowerStudioApp> app_;
};

TEST_F(StudioTest, WithoutPortsOnlyThePlaceholderShowsAndNothingCanBeStarted) {
    start(false);
    auto* picker = find<QComboBox>("portPicker");
    EXPECT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->currentText(), QStringLiteral("未发现 USB 串口"));
    EXPECT_FALSE(find<QPushButton>("connectButton")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("exportButton")->isEnabled());
    EXPECT_FALSE(app_->window().exportAction()->isEnabled());
    EXPECT_FALSE(find<QPushButton>("outputButton")->isEnabled());
    EXPECT_EQ(find<QPushButton>("outputButton")->text(), QStringLiteral("开启输出"));
    EXPECT_EQ(text("voltageValue"), QStringLiteral("—"));
    EXPECT_EQ(text("voltageStatus"), QStringLiteral("等待连接"));
    EXPECT_EQ(text("measuredRate"), QStringLiteral("实际采样 — Hz"));
    EXPECT_TRUE(find<QWidget>("emptyState")->isVisible());
    saveShot(&app_->window(), QStringLiteral("dashboard-empty.png"));

    // The API runs without a supply; its token goes to the clipboard as plain text.
    ASSERT_TRUE(waitFor([&] { return !model().apiToken().isEmpty(); }));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    click(find<QPushButton>("copyTokenButton"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), model().apiToken());
}

TEST_F(StudioTest, ConnectShowsTheSupplyAndLocksTheLinkSettings) {
    start();
    EXPECT_EQ(find<QComboBox>("portPicker")->currentText(), QString::fromStdString(sim_->path()).remove("/dev/"));
    connectThroughButton();

    ASSERT_TRUE(waitFor([&] {
        return text("voltageValue") == regText(*sim_, 10) && text("currentValue") == regText(*sim_, 11) &&
               text("powerValue") == QString::fromStdString(formatFixed2((sim_->reg(12) * 65536 + sim_->reg(13)) / 100.0));
    }));
    EXPECT_EQ(text("voltageValue"), QStringLiteral("12.34"));
    EXPECT_EQ(text("voltageStatus"), QStringLiteral("实时输出"));
    auto* modePill = find<ui::Pill>("modePill");
    EXPECT_TRUE(modePill->isVisible());
    EXPECT_EQ(modePill->text(), QStringLiteral("恒压 CV"));
    EXPECT_EQ(find<ui::Pill>("protectionPill")->text(), QStringLiteral("保护正常"));
    EXPECT_EQ(find<ui::Pill>("connectionPill")->text(), QStringLiteral("已连接"));
    EXPECT_EQ(find<QPushButton>("connectButton")->text(), QStringLiteral("断开连接"));
    EXPECT_EQ(text("firmwareLabel"), QStringLiteral("固件 1.23"));

    for (const char* locked : {"portPicker", "refreshPortsButton", "baudPicker", "stationField"}) {
        EXPECT_FALSE(find<QWidget>(locked)->isEnabled()) << locked;
    }
    auto* rate = find<QComboBox>("refreshPicker");
    ASSERT_TRUE(rate->isEnabled());
    rate->setFocus();
    QTest::keyClick(rate, Qt::Key_End);
    EXPECT_EQ(model().refreshRate(), 10);
    ASSERT_TRUE(waitFor([&] { return text("noticeLabel").endsWith(QStringLiteral(" · 目标 10 Hz")); }));
    ASSERT_TRUE(waitFor([&] { return text("measuredRate").startsWith(QStringLiteral("实际采样 ")) &&
                                     text("measuredRate") != QStringLiteral("实际采样 — Hz"); }));
    EXPECT_TRUE(app_->window().exportAction()->isEnabled());
    EXPECT_TRUE(find<QWidget>("trendChart")->isVisible());
    ASSERT_TRUE(waitFor([&] { return model().samples().size() >= 20; }));
    QCoreApplication::processEvents();
    saveShot(&app_->window(), QStringLiteral("dashboard-connected.png"));
    app_->window().resize(app_->window().minimumSizeHint());
    // At the minimum width the chart pickers keep their size and move under the title.
    auto top = [&](const char* name) { return find<QWidget>(name)->mapTo(&app_->window(), QPoint()).y(); };
    ASSERT_TRUE(waitFor([&] { return top("metricPicker") > top("trendSubtitle"); }));
    saveShot(&app_->window(), QStringLiteral("dashboard-minimum-size.png"));
}

TEST_F(StudioTest, SetpointsAndOutputAreConfirmedByTheSupply) {
    start();
    connectThroughButton();
    type("voltageField", QStringLiteral(" 6.5"));
    type("currentField", QStringLiteral("0.8"));
    click(find<QPushButton>("applyButton"));
    ASSERT_TRUE(waitFor([&] { return sim_->reg(8) == 650 && sim_->reg(9) == 80 && !model().busy(); }));
    ASSERT_TRUE(waitFor([&] {
        return find<QLineEdit>("voltageField")->text() == QStringLiteral("6.50") &&
               find<QLineEdit>("currentField")->text() == QStringLiteral("0.80");
    }));

    auto* output = find<QPushButton>("outputButton");
    ASSERT_TRUE(waitFor([&] { return output->text() == QStringLiteral("关闭输出") && output->isEnabled(); }));
    EXPECT_EQ(text("outputState"), QStringLiteral("开启"));
    click(output);
    ASSERT_TRUE(waitFor([&] { return sim_->reg(18) == 0 && output->text() == QStringLiteral("开启输出"); }));
    EXPECT_EQ(text("outputState"), QStringLiteral("关闭"));
    ASSERT_TRUE(waitFor([&] { return output->isEnabled(); }));
    click(output);
    ASSERT_TRUE(waitFor([&] { return sim_->reg(18) == 1 && output->text() == QStringLiteral("关闭输出"); }));
    EXPECT_EQ(sim_->reg(8), 650);  // switching kept the setpoints
}

TEST_F(StudioTest, EveryWayOfDismissingTheAlertClearsTheMessage) {
    start();
    connectThroughButton();
    const std::function<void(QMessageBox*)> dismissals[] = {
        [this](QMessageBox* box) { click(box->buttons().front()); },
        [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); },
        [](QMessageBox* box) { box->close(); },
    };
    bool shot = false;
    for (const auto& dismiss : dismissals) {
        type("voltageField", QStringLiteral("12.345"));
        click(find<QPushButton>("applyButton"));
        Dashboard* dashboard = app_->window().dashboard();
        ASSERT_TRUE(waitFor([&] { return dashboard->alert() && dashboard->alert()->isVisible(); }));
        QMessageBox* alert = dashboard->alert();
        EXPECT_EQ(alert->windowTitle(), QStringLiteral("操作提示"));
        EXPECT_EQ(alert->text(), QStringLiteral("最多输入两位小数，步进为 0.01。"));
        ASSERT_EQ(alert->buttons().size(), 1);
        EXPECT_EQ(alert->buttons().front()->text(), QStringLiteral("知道了"));
        if (!shot) saveShot(&app_->window(), QStringLiteral("dashboard-alert.png"), alert);
        shot = true;
        dismiss(alert);
        ASSERT_TRUE(waitFor([&] { return !model().errorMessage() && !dashboard->alert(); }));
    }
    EXPECT_EQ(sim_->reg(8), 1234);  // nothing was sent
}

TEST_F(StudioTest, ATimeoutShowsPlaceholdersAndTheHistoryOutlivesTheConnection) {
    start();
    connectThroughButton();
    sim_->setSilent(true);
    ASSERT_TRUE(waitFor([&] { return model().recovering() && text("voltageValue") == QStringLiteral("—"); }));
    EXPECT_EQ(text("currentValue"), QStringLiteral("—"));
    EXPECT_EQ(text("powerStatus"), QStringLiteral("等待连接"));
    EXPECT_EQ(text("measuredRate"), QStringLiteral("实际采样 — Hz"));
    EXPECT_FALSE(find<QPushButton>("connectButton")->isEnabled());
    EXPECT_TRUE(find<QPushButton>("connectButton")->property("spinning").toBool());

    // The recovery read times out too, so the connection ends with an alert.
    Dashboard* dashboard = app_->window().dashboard();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && dashboard->alert(); }));
    EXPECT_EQ(dashboard->alert()->text(), QString::fromStdString(VarekError::timeout().description()));
    click(dashboard->alert()->buttons().front());
    sim_->setSilent(false);

    EXPECT_TRUE(find<QWidget>("trendChart")->isVisible());
    EXPECT_EQ(text("sampleCount"), QString::number(model().samples().size()) + QStringLiteral(" 条采样"));
    ASSERT_TRUE(find<QPushButton>("exportButton")->isEnabled());
    EXPECT_TRUE(app_->window().exportAction()->isEnabled());
    click(find<QPushButton>("exportButton"));
    EXPECT_TRUE(proposedName_.startsWith(QStringLiteral("VAREK-")));
    QFile csv(dir_.filePath("export.csv"));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readAll().count('\n'), static_cast<qsizetype>(model().samples().size()) + 1);
}

TEST_F(StudioTest, ClosingTheWindowDisconnectsAndLeavesTheOutputOn) {
    start();
    connectThroughButton();
    click(find<QPushButton>("connectButton"));
    ASSERT_TRUE(waitFor([&] { return !model().connected() && !model().busy(); }));
    EXPECT_TRUE(find<QWidget>("trendChart")->isVisible());
    EXPECT_TRUE(find<QPushButton>("exportButton")->isEnabled());

    connectThroughButton();
    sim_->clearRequests();
    app_->window().close();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && !model().busy(); }));
    EXPECT_TRUE(model().events().front().endsWith(QStringLiteral("串口已断开，未改变电源输出。")));
    EXPECT_EQ(sim_->reg(18), 1);
    for (const Bytes& request : sim_->requests()) EXPECT_EQ(request.at(1), 0x03) << "only reads after close";
}

TEST_F(StudioTest, TrendChoicesAreAppliedAndTheWindowIsRemembered) {
    start();
    connectThroughButton();
    TrendPanel* trend = app_->window().dashboard()->trendPanel();
    auto* metric = find<ui::SegmentedControl>("metricPicker");
    click(metric->button(2));
    EXPECT_EQ(trend->metric(), Metric::power);
    const double watts = (sim_->reg(12) * 65536 + sim_->reg(13)) / 100.0;  // 15.23, flat
    ASSERT_TRUE(waitFor([&] { return trend->pointCount() >= 3; }));
    EXPECT_NEAR(trend->yRange().lower, watts - 1.0, 1e-9);
    EXPECT_NEAR(trend->yRange().upper, watts + 1.0, 1e-9);

    click(find<ui::SegmentedControl>("trendWindowPicker")->button(2));
    EXPECT_EQ(trend->windowSeconds(), 300);
    EXPECT_EQ(QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")).value("trendWindowSeconds").toInt(), 300);
    EXPECT_EQ(storedTrendWindow(), 300);
    click(find<ui::SegmentedControl>("trendWindowPicker")->button(0));
    EXPECT_EQ(storedTrendWindow(), 30);
}

TEST_F(StudioTest, ManyModelChangesInOneTurnCostOneRedraw) {
    start(false);
    Dashboard* dashboard = app_->window().dashboard();
    // Let the API's own start-up report arrive first, so only our burst is counted.
    ASSERT_TRUE(waitFor([&] { return model().apiState() != QStringLiteral("API正在启动…"); }));
    QCoreApplication::processEvents();
    const auto before = dashboard->redrawStats().count;
    emit model().latestChanged();
    emit model().samplesChanged();
    emit model().noticeChanged();
    emit model().eventsChanged();
    ASSERT_TRUE(waitFor([&] { return dashboard->redrawStats().count > before; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(dashboard->redrawStats().count, before + 1);
}

TEST_F(StudioTest, MenusOfferExportAndAboutButNoSecondWindow) {
    start(false);
    for (QAction* action : app_->window().menuBar()->findChildren<QAction*>()) {
        EXPECT_FALSE(action->text().contains(QStringLiteral("新建")) || action->text().contains("New Window"))
            << action->text().toStdString();
    }
    QAction* exportAction = app_->window().exportAction();
    EXPECT_EQ(exportAction->text(), QStringLiteral("导出采样 CSV…"));
    EXPECT_EQ(exportAction->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
    EXPECT_EQ(app_->window().windowTitle(), QStringLiteral("VAREK Studio"));

    QMessageBox* about = app_->window().showAbout();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(about));
    saveShot(about, QStringLiteral("about.png"));
    EXPECT_TRUE(about->text().contains(QStringLiteral("VAREK Studio")));
    EXPECT_TRUE(about->text().contains(QStringLiteral("0.1.2")));
    EXPECT_TRUE(about->text().contains(QStringLiteral("RuvizOzurir · 原生 macOS 电源控制<br>USB / RD6030 与 RD6030-Max")));
    about->close();
}

TEST(AboutInfo, CutsTheRevisionToTwelveCharacters) {
    EXPECT_EQ(aboutInfo("development").build, QStringLiteral("development"));
    EXPECT_EQ(aboutInfo("0123456789abcdef0123456789abcdef01234567").build, QStringLiteral("0123456789ab"));
    const AboutInfo info = aboutInfo("x");
    EXPECT_EQ(info.name, QStringLiteral("VAREK Studio"));
    EXPECT_EQ(info.version, QStringLiteral("0.1.2"));
    EXPECT_EQ(info.credits, QStringLiteral("RuvizOzurir · 原生 macOS 电源控制\nUSB / RD6030 与 RD6030-Max"));
}

}  // namespace
}  // namespace varek
