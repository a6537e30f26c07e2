// The dashboard driven as a user would (Qt Test clicks and typing), with a real
// PowerModel and a simulated supply on a real pty.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include "dashboard.hpp"
#include "trend_panel.hpp"
#include "varek/error.hpp"
#include "varek/format.hpp"
#include "widgets.hpp"
#include "window_fixture.hpp"

namespace varek {
namespace {

class StudioTest : public test::WindowFixture {
protected:
    void start(bool withPort = true) {
        if (withPort) {
            sim_ = &addSupply();
            // Output on with a setpoint whose readings differ in every digit.
            sim_->setReg(8, 1234);
            sim_->setReg(9, 200);
            sim_->setReg(18, 1);
        }
        open();
    }
    void connectThroughButton() {
        click("connectButton");
        ASSERT_TRUE(waitFor([&] { return model().connected() && !model().busy() && model().samples().size() >= 3; }));
    }

    sim::SupplySimulator* sim_ = nullptr;
};

TEST_F(StudioTest, WithoutPortsOnlyThePlaceholderShowsAndNothingCanBeStarted) {
    start(false);
    auto* picker = find<QComboBox>("portPicker");
    EXPECT_EQ(picker->count(), 1);
    EXPECT_EQ(picker->currentText(), QStringLiteral("未发现 USB 串口"));
    EXPECT_FALSE(find<QPushButton>("connectButton")->isEnabled());
    EXPECT_FALSE(window().exportAction()->isEnabled());
    EXPECT_TRUE(find<QWidget>("emptyState")->isVisible());
    // Texts built from the device facts read exactly as before.
    QStringList labels;
    for (const QLabel* label : window().findChildren<QLabel*>()) labels.append(label->text());
    for (const char* text : {"0.00 – 60.00 V", "0.00 – 30.00 A", "RD6030 / Max", "60 V  /  30 A",
                             "RD6030 / Max · USB 串口"}) {
        EXPECT_TRUE(labels.contains(QString::fromUtf8(text))) << text;
    }
    saveShot(&window(), QStringLiteral("dashboard-empty.png"));

    click(find<ui::SegmentedControl>("trendWindowPicker")->button(2));  // "5 分钟"
    QSettings preferences(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio"));
    EXPECT_EQ(preferences.value(QStringLiteral("trendWindowSeconds")).toInt(), 300);
    EXPECT_EQ(window().dashboard()->trendPanel()->windowSeconds(), 300);
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
    saveShot(&window(), QStringLiteral("dashboard-connected.png"));

    sim_->clearRequests();  // closing the window disconnects and leaves the output on
    window().close();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && !model().busy(); }));
    EXPECT_TRUE(model().events().front().endsWith(QStringLiteral("串口已断开，未改变电源输出。")));
    EXPECT_EQ(sim_->reg(18), 1);
    for (const Bytes& request : sim_->requests()) EXPECT_EQ(request.at(1), 0x03) << "only reads after close";
}

TEST_F(StudioTest, InvalidDraftsAlertAndSetpointsAndOutputAreConfirmedByTheSupply) {
    start();
    connectThroughButton();
    type("voltageField", QStringLiteral("12.345"));
    click("applyButton");
    Dashboard* dashboard = window().dashboard();
    ASSERT_TRUE(waitFor([&] { return dashboard->alert() && dashboard->alert()->isVisible(); }));
    QMessageBox* alert = dashboard->alert();
    EXPECT_EQ(alert->windowTitle(), QStringLiteral("操作提示"));
    EXPECT_EQ(alert->text(), QStringLiteral("最多输入两位小数，步进为 0.01。"));
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons().front()->text(), QStringLiteral("知道了"));
    saveShot(&window(), QStringLiteral("dashboard-alert.png"), alert);
    click(alert->buttons().front());
    ASSERT_TRUE(waitFor([&] { return !model().errorMessage() && !dashboard->alert(); }));
    EXPECT_EQ(sim_->reg(8), 1234);  // nothing was sent

    type("voltageField", QStringLiteral(" 6.5"));
    type("currentField", QStringLiteral("0.8"));
    click("applyButton");
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
    Dashboard* dashboard = window().dashboard();
    ASSERT_TRUE(waitFor([&] { return !model().connected() && dashboard->alert(); }));
    EXPECT_EQ(dashboard->alert()->text(), QString::fromStdString(VarekError::timeout().description()));
    click(dashboard->alert()->buttons().front());
    EXPECT_TRUE(find<QWidget>("trendChart")->isVisible());
    EXPECT_TRUE(find<QPushButton>("exportButton")->isEnabled());
    EXPECT_TRUE(window().exportAction()->isEnabled());
}

}  // namespace
}  // namespace varek
