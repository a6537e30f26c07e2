// The dashboard driven as a user would (Qt Test clicks and typing), with a real
// PowerModel and a simulated supply on a real pty.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app_shell.hpp"
#include "dashboard.hpp"
#include "trend_panel.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

void saveShot(QWidget* window, const QString& name, QWidget* overlay = nullptr) {
    const QString dir = qEnvironmentVariable("VAREK_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    QPixmap shot = window->grab();
    if (overlay) {
        // Offscreen windows have no frame: lay the alert over the centre with a title bar.
        const QPixmap top = overlay->grab();
        QPainter p(&shot);
        p.fillRect(shot.rect(), QColor(0, 0, 0, 90));
        const QRect body((shot.width() - top.width()) / 2, shot.height() / 3, top.width(), top.height());
        const QRect bar(body.left(), body.top() - 28, body.width(), 28);
        p.fillRect(bar, QColor(38, 44, 54));
        p.setPen(QColor(230, 234, 240));
        p.drawText(bar, Qt::AlignCenter, overlay->windowTitle());
        p.drawPixmap(body.topLeft(), top);
    }
    ASSERT_TRUE(shot.save(QDir(dir).filePath(name)));
}

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
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(options));
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
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
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }

    void connectThroughButton() {
        click(find<QPushButton>("connectButton"));
        ASSERT_TRUE(waitFor([&] { return model().connected() && !model().busy() && model().samples().size() >= 3; }));
    }

    QTemporaryDir dir_;
    std::unique_ptr<sim::SupplySimulator> sim_;
    std::unique_ptr<VarekPowerStudioApp> app_;
};

TEST_F(StudioTest, WithoutPortsOnlyThePlaceholderShowsAndNothingCanBeStarted) {
    start(false);
    auto* picker = find<QComboBox>("portPicker");
    EXPECT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->currentText(), QStringLiteral("未发现 USB 串口"));
    EXPECT_FALSE(find<QPushButton>("connectButton")->isEnabled());
    EXPECT_FALSE(app_->window().exportAction()->isEnabled());
    EXPECT_TRUE(find<QWidget>("emptyState")->isVisible());
    // Texts built from the device facts read exactly as before.
    QStringList labels;
    for (const QLabel* label : app_->window().findChildren<QLabel*>()) labels.append(label->text());
    for (const char* text : {"0.00 – 60.00 V", "0.00 – 30.00 A", "RD6030 / Max", "60 V  /  30 A",
                             "RD6030 / Max · USB 串口"}) {
        EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
    }
    saveShot(&app_->window(), QStringLiteral("dashboard-empty.png"));

    QSettings preferences(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio"));
    preferences.remove(QStringLiteral("trendWindowSeconds"));
    click(find<ui::SegmentedControl>("trendWindowPicker")->button(2));  // "5 分钟"
    preferences.sync();
    EXPECT_EQ(preferences.value(QStringLiteral("trendWindowSeconds")).toInt(), 300);
    EXPECT_EQ(app_->window().dashboard()->trendPanel()->windowSeconds(), 300);
}

TEST_F(StudioTest, ConnectShowsTheSupplyAndLocksTheLinkSettings) {
    start();
    connectThroughButton();
    ASSERT_TRUE(waitFor([&] { return text("voltageValue") == QStringLiteral("12.34"); }));
    EXPECT_EQ(text("currentValue"), QString::fromStdString(formatFixed2(sim_->reg(11) / 100.0)));
    EXPECT_EQ(find<ui::Pill>("modePill")->text(), QStringLiteral("恒压 CV"));
    EXPECT_EQ(find<ui::Pill>("protectionPill")->text(), QStringLiteral("保护正常"));
    EXPECT_EQ(find<ui::Pill>("connectionPill")->text(), QStringLiteral("已连接"));
    for (const char* locked : {"portPicker", "refreshPortsButton", "baudPicker", "stationField"}) {
        EXPECT_FALSE(find<QWidget>(locked)->isEnabled()) << locked;
    }
    auto* rate = find<QComboBox>("refreshPicker");
    ASSERT_TRUE(rate->isEnabled());
    rate->setFocus();
    QTest::keyClick(rate, Qt::Key_End);
    EXPECT_EQ(model().refreshRate(), 10);
    ASSERT_TRUE(waitFor([&] { return model().samples().size() >= 20; }));
    QCoreApplication::processEvents();
    saveShot(&app_->window(), QStringLiteral("dashboard-connected.png"));

    sim_->clearRequests();  // closing the window disconnects and leaves the output on
    app_->window().close();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && !model().busy(); }));
    EXPECT_TRUE(model().events().front().endsWith(QStringLiteral("串口已断开，未改变电源输出。")));
    EXPECT_EQ(sim_->reg(18), 1);
    for (const Bytes& request : sim_->requests()) EXPECT_EQ(request.at(1), 0x03) << "only reads after close";
}

TEST_F(StudioTest, InvalidDraftsAlertAndSetpointsAndOutputAreConfirmedByTheSupply) {
    start();
    connectThroughButton();
    type("voltageField", QStringLiteral("12.345"));
    click(find<QPushButton>("applyButton"));
    Dashboard* dashboard = app_->window().dashboard();
    ASSERT_TRUE(waitFor([&] { return dashboard->alert() && dashboard->alert()->isVisible(); }));
    QMessageBox* alert = dashboard->alert();
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("操作提示"));
    EXPECT_EQ(alert->text(), QStringLiteral("最多输入两位小数，步进为 0.01。"));
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons().front()->text(), QStringLiteral("知道了"));
    saveShot(&app_->window(), QStringLiteral("dashboard-alert.png"), alert);
    click(alert->buttons().front());
    ASSERT_TRUE(waitFor([&] { return !model().errorMessage() && !dashboard->alert(); }));
    EXPECT_EQ(sim_->reg(8), 1234);  // nothing was sent

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
    click(output);
    ASSERT_TRUE(waitFor([&] { return sim_->reg(18) == 0 && output->text() == QStringLiteral("开启输出"); }));
    EXPECT_EQ(sim_->reg(8), 650);  // switching kept the setpoints
}

TEST_F(StudioTest, ATimeoutShowsPlaceholdersAndTheHistoryOutlivesTheConnection) {
    start();
    connectThroughButton();
    sim_->setSilent(true);
    ASSERT_TRUE(waitFor([&] { return model().recovering() && text("voltageValue") == QStringLiteral("—"); }));
    EXPECT_EQ(text("currentValue"), QStringLiteral("—"));
    EXPECT_EQ(text("powerStatus"), QStringLiteral("等待连接"));
    // The recovery read times out too, so the connection ends with an alert.
    Dashboard* dashboard = app_->window().dashboard();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && dashboard->alert(); }));
    EXPECT_EQ(dashboard->alert()->text(), QString::fromStdString(VarekError::timeout().description()));
    click(dashboard->alert()->buttons().front());
    EXPECT_TRUE(find<QWidget>("trendChart")->isVisible());
    EXPECT_TRUE(find<QPushButton>("exportButton")->isEnabled());
    EXPECT_TRUE(app_->window().exportAction()->isEnabled());
}

}  // namespace
}  // namespace varek
