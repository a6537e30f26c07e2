// The "控制" menu and continuous recording driven through the window, with a real
// PowerModel and a simulated supply on a real pty.
#include <gtest/gtest.h>

#include <QAction>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "app_shell.hpp"
#include "control_menu.hpp"
#include "sequence_dialog.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek {
namespace {

class AutomationTest : public testing::Test {
protected:
    void SetUp() override {
        // Each test starts from no presets, no ceilings and no recording.
        QSettings(QStringLiteral("VAREK"), QStringLiteral("VAREK Studio")).clear();
        sim_ = std::make_unique<sim::SupplySimulator>();
        PowerModel::Options options;
        options.httpPort = 0;
        options.scpiPort = 0;
        options.supportDirectory = dir_.filePath("support").toStdString();
        options.listPorts = [path = sim_->path()] { return std::vector<std::string>{path}; };
        options.chooseRecordingFolder = [this](const QString&) { return dir_.filePath("recordings"); };
        app_ = std::make_unique<VarekPowerStudioApp>(std::move(options));
        app_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&app_->window()));
    }

    template <class T>
    T* find(const char* name) {
        T* child = app_->window().findChild<T*>(QString::fromUtf8(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    PowerModel& model() { return app_->model(); }
    bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 30000); }
    void connectSupply() {
        model().connect();
        ASSERT_TRUE(waitFor([&] { return model().connected() && !model().busy(); }));
    }
    /// Answers the newest open input dialog called `name` with `text`.
    void answer(const char* name, const QString& text) {
        QInputDialog* dialog = nullptr;
        ASSERT_TRUE(waitFor([&] { return (dialog = find<QInputDialog>(name)) && dialog->isVisible(); }));
        dialog->setTextValue(text);
        dialog->accept();
    }

    QTemporaryDir dir_;
    std::unique_ptr<sim::SupplySimulator> sim_;
    std::unique_ptr<VarekPowerStudioApp> app_;
};

TEST_F(AutomationTest, TheSequenceDialogRunsAProfileToFinished) {
    const QString path = dir_.filePath("profile.json");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"name":"短","on_end":"keep","steps":[{"voltage_V":2.5,"current_limit_A":1,"hold_s":0.1},)"
               R"({"voltage_V":3.5,"ramp_s":0.2,"output":true,"hold_s":0.1}]})");
    file.close();
    connectSupply();
    find<QAction>("sequenceAction")->trigger();
    auto* dialog = find<SequenceDialog>("sequenceDialog");
    ASSERT_TRUE(dialog->isVisible());
    dialog->loadFile(path);
    auto* steps = find<QListWidget>("sequenceSteps");
    ASSERT_TRUE(waitFor([&] { return steps->count() == 2; }));
    EXPECT_EQ(steps->item(0)->text(), QStringLiteral("1. 2.50 V · 1.00 A · 保持 0.1 s"));
    EXPECT_EQ(steps->item(1)->text(), QStringLiteral("2. 3.50 V · 斜坡 0.2 s · 输出开 · 保持 0.1 s"));
    QTest::mouseClick(find<QPushButton>("sequenceStartButton"), Qt::LeftButton);
    auto* state = find<QLabel>("sequenceState");
    ASSERT_TRUE(waitFor([&] { return state->text() == QStringLiteral("上次运行：已完成"); })) << state->text().toStdString();
    EXPECT_EQ(sim_->reg(8), 350);
    EXPECT_EQ(sim_->reg(18), 1);
    EXPECT_FALSE(find<QPushButton>("sequenceStopButton")->isEnabled());
    const QStringList& events = model().events();
    EXPECT_TRUE(events[0].endsWith(QStringLiteral("序列「短」已完成。")));
    EXPECT_TRUE(events[1].endsWith(QStringLiteral("序列「短」第 2/2 步开始。")));

    // A profile beyond the ceilings is refused when opened, naming the step.
    model().setCeilings({300, 3000});
    dialog->loadFile(path);
    auto* error = find<QLabel>("sequenceError");
    ASSERT_TRUE(waitFor([&] { return error->text().contains(QStringLiteral("step 2")); })) << error->text().toStdString();
    EXPECT_EQ(steps->count(), 0);
    EXPECT_FALSE(find<QPushButton>("sequenceStartButton")->isEnabled());
}

TEST_F(AutomationTest, PresetsAreSavedRecalledRenamedAndDeletedFromTheMenu) {
    connectSupply();
    model().setVoltageDraft(QStringLiteral("4.20"));
    model().setCurrentDraft(QStringLiteral("0.70"));
    find<QAction>("savePresetAction")->trigger();
    answer("presetNameDialog", QStringLiteral("锂电"));
    ASSERT_EQ(model().presets().size(), 1u);

    auto* recall = find<QMenu>("recallPresetMenu");
    ASSERT_TRUE(recall->isEnabled());
    ASSERT_EQ(recall->actions().size(), 1);
    EXPECT_EQ(recall->actions().front()->text(), QStringLiteral("锂电  ·  4.20 V / 0.70 A"));
    sim_->setReg(8, 1200);
    recall->actions().front()->trigger();
    ASSERT_TRUE(waitFor([&] { return sim_->reg(8) == 420 && sim_->reg(9) == 70 && !model().busy(); }));
    EXPECT_EQ(model().latest()->voltageSet, 4.2);  // confirmed by read-back

    find<QAction>("managePresetsAction")->trigger();
    auto* list = find<QListWidget>("presetList");
    list->setCurrentRow(0);
    QTest::mouseClick(find<QPushButton>("renamePresetButton"), Qt::LeftButton);
    answer("presetRenameDialog", QStringLiteral("锂电 1S"));
    ASSERT_EQ(model().presets().front().name, QStringLiteral("锂电 1S"));
    EXPECT_EQ(list->item(0)->text(), QStringLiteral("锂电 1S  ·  4.20 V / 0.70 A"));
    list->setCurrentRow(0);
    QTest::mouseClick(find<QPushButton>("deletePresetButton"), Qt::LeftButton);
    EXPECT_TRUE(model().presets().empty());
    EXPECT_EQ(list->count(), 0);
    EXPECT_FALSE(recall->isEnabled());
}

TEST_F(AutomationTest, TheFooterShowsRecordingWhileRowsAreWritten) {
    auto* start = find<QAction>("startRecordingAction");
    ASSERT_TRUE(start->isEnabled());
    start->trigger();
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(find<QAction>("stopRecordingAction")->isEnabled());
    connectSupply();
    auto* footer = find<QLabel>("recordingState");
    ASSERT_TRUE(waitFor([&] { return footer->isVisible(); }));
    EXPECT_EQ(footer->text(), QStringLiteral("连续记录中 · ") + dir_.filePath("recordings"));
    find<QAction>("stopRecordingAction")->trigger();
    ASSERT_TRUE(waitFor([&] { return !footer->isVisible(); }));
    EXPECT_TRUE(start->isEnabled());
}

}  // namespace
}  // namespace varek
