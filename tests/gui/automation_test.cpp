// The "控制" menu (the sequence editor, presets) and continuous recording driven
// through the window, with a real PowerModel and a simulated supply on a real pty.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>

#include "control_menu.hpp"
#include "sequence_dialog.hpp"
#include "sequence_editor.hpp"
#include "sequence_table.hpp"
#include "window_fixture.hpp"

namespace varek {
namespace {

class AutomationTest : public test::WindowFixture {
protected:
    void SetUp() override {
        sim_ = &addSupply();
        PowerModel::Options settings = options();
        settings.chooseRecordingFolder = [this](const QString&) { return dir_.filePath("recordings"); };
        open(std::move(settings));
    }
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

    /// Opens the "序列…" window from the menu.
    SequenceDialog* openSequences() {
        find<QAction>("sequenceAction")->trigger();
        auto* dialog = find<SequenceDialog>("sequenceDialog");
        dialog->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
        return dialog;
    }
    QTableView* table() { return find<QTableView>("sequenceTable"); }
    /// Types `text` into a cell's editor and commits it with Return, as a user would.
    void typeCell(int row, int column, const QString& text) {
        const QModelIndex index = table()->model()->index(row, column);
        table()->setCurrentIndex(index);
        table()->edit(index);
        auto* editor = qobject_cast<QLineEdit*>(table()->indexWidget(index));
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        // Return commits through a queued call: the edit is done once the editor is gone.
        ASSERT_TRUE(waitFor([&] { return table()->indexWidget(index) == nullptr; }));
    }
    /// Steps a choice cell down its list with the arrow key until it shows choice `wanted`.
    void pickChoice(int row, int column, int wanted) {
        const QModelIndex index = table()->model()->index(row, column);
        while (index.data(Qt::EditRole).toInt() < wanted) {
            table()->setCurrentIndex(index);
            table()->edit(index);
            auto* combo = qobject_cast<QComboBox*>(table()->indexWidget(index));
            ASSERT_NE(combo, nullptr);
            QTest::keyClick(combo, Qt::Key_Down);
            ASSERT_TRUE(waitFor([&] { return table()->indexWidget(index) == nullptr; }));
        }
    }
    /// One step's cells: texts, and the output and condition choices by position.
    struct Row {
        QString voltage, current, ramp;
        int output;
        QString hold;
        int until;
        QString threshold;
    };
    /// Adds a row with the add button and fills its cells.
    void addRow(const Row& row) {
        click("stepAddButton");
        const int at = table()->model()->rowCount() - 1;
        const std::pair<int, const QString*> texts[] = {
            {SequenceTableModel::voltage, &row.voltage}, {SequenceTableModel::current, &row.current},
            {SequenceTableModel::ramp, &row.ramp},       {SequenceTableModel::hold, &row.hold},
            {SequenceTableModel::threshold, &row.threshold}};
        for (const auto& [column, text] : texts) {
            if (!text->isEmpty()) typeCell(at, column, *text);
        }
        pickChoice(at, SequenceTableModel::output, row.output);
        pickChoice(at, SequenceTableModel::until, row.until);
    }
    /// The file dialogs of `dialog` answer `path` from now on.
    void chooseFile(SequenceDialog* dialog, const QString& path) {
        dialog->setFileChooser([path](bool, const QString&) { return path; });
    }
    void waitForNotice(const QString& text) {
        auto* notice = find<QLabel>("sequenceNotice");
        ASSERT_TRUE(waitFor([&] { return notice->text() == text; })) << notice->text().toStdString();
    }
    static QString readFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    static void writeFile(const QString& path, const char* text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    sim::SupplySimulator* sim_ = nullptr;
};

/// The writes the simulator received, in order: "REG=VALUE,..." for every write request.
QStringList writesOf(const std::vector<Bytes>& requests) {
    QStringList writes;
    for (const Bytes& frame : requests) {
        if (frame.size() < 8 || (frame[1] != 0x06 && frame[1] != 0x10)) continue;
        const int reg = frame[2] << 8 | frame[3];
        QStringList values;
        if (frame[1] == 0x06) values << QString::number(frame[4] << 8 | frame[5]);
        for (std::size_t i = 7; frame[1] == 0x10 && i + 3 < frame.size(); i += 2) {
            values << QString::number(frame[i] << 8 | frame[i + 1]);
        }
        writes << QString::number(reg) + QLatin1Char('=') + values.join(QLatin1Char(','));
    }
    return writes;
}

TEST_F(AutomationTest, AProfileBuiltRowByRowIsSavedReopenedIdenticalAndRunsToFinished) {
    connectSupply();
    SequenceDialog* dialog = openSequences();
    const QString path = dir_.filePath("short.json");
    chooseFile(dialog, path);
    type(find<QLineEdit>("sequenceNameField"), QStringLiteral("短序列"));
    find<QComboBox>("sequenceEndChoice")->setCurrentIndex(1);
    const Row rows[] = {
        {"2.5", "1", "", 1, "0.1", 0, ""},
        {"3.5", "", "0.2", 0, "0.1", 0, ""},
        {"", "", "", 0, "5", 2, "0.01"},
        {"", "", "", 2, "", 0, ""},
    };
    for (const Row& row : rows) addRow(row);
    const QString saved = QStringLiteral(R"({
  "name": "短序列",
  "on_end": "off",
  "steps": [
    {"voltage_V": 2.5, "current_limit_A": 1, "output": true, "hold_s": 0.1},
    {"voltage_V": 3.5, "ramp_s": 0.2, "hold_s": 0.1},
    {"hold_s": 5, "until": {"current_above_A": 0.01}},
    {"output": false}
  ]
}
)");
    EXPECT_EQ(find<QLabel>("sequenceError")->text(), QString());
    EXPECT_EQ(find<QLabel>("sequenceTotal")->text(), QStringLiteral("计划总时长 5.4 s（最长）"));
    find<QAction>("sequenceSaveAsAction")->trigger();
    waitForNotice(QStringLiteral("已保存：") + path);
    EXPECT_EQ(readFile(path), saved);
    const ProfileDraft built = dialog->editor()->draft();

    // A new profile empties the editor; the recent menu brings the file back as it was.
    find<QAction>("sequenceNewAction")->trigger();
    EXPECT_EQ(table()->model()->rowCount(), 0);
    auto* recent = find<QMenu>("sequenceRecentMenu");
    ASSERT_FALSE(recent->actions().isEmpty());
    EXPECT_EQ(recent->actions().front()->text(), path);
    recent->actions().front()->trigger();
    waitForNotice(QStringLiteral("已打开：") + path);
    EXPECT_EQ(dialog->editor()->draft(), built);
    EXPECT_EQ(QString::fromStdString(dialog->editor()->text()), saved);
    EXPECT_EQ(table()->model()->index(2, SequenceTableModel::threshold).data().toString(), QStringLiteral("0.01 A"));

    sim_->clearRequests();
    click("sequenceStartButton");
    auto* state = find<QLabel>("sequenceState");
    ASSERT_TRUE(waitFor([&] { return state->text() == QStringLiteral("上次运行：已完成"); })) << state->text().toStdString();
    EXPECT_EQ(writesOf(sim_->requests()),
              QStringList({"8=250,100", "18=1", "8=300,100", "8=350,100", "18=0", "18=0"}));
    EXPECT_FALSE(find<QPushButton>("sequenceStopButton")->isEnabled());
    EXPECT_TRUE(model().events()[0].endsWith(QStringLiteral("序列「短序列」已完成。")));
}

TEST_F(AutomationTest, AnInvalidValueMarksItsCellWithTheStepAndDisablesStart) {
    connectSupply();
    openSequences();
    addRow({"2.5", "1", "", 1, "1", 0, ""});
    addRow({"3", "", "", 0, "1", 0, ""});
    auto* start = find<QPushButton>("sequenceStartButton");
    auto* error = find<QLabel>("sequenceError");
    ASSERT_TRUE(start->isEnabled());
    const QModelIndex cell = table()->model()->index(1, SequenceTableModel::voltage);
    // What the editor refuses is SequenceProfile's (sequence_profile_test); here, how it shows.
    typeCell(1, SequenceTableModel::voltage, QStringLiteral("61"));
    const QString message = QStringLiteral("step 2: voltage_V must be a number from 0 to 60 with at most two decimals");
    EXPECT_EQ(error->text(), message);
    EXPECT_EQ(cell.data(Qt::ToolTipRole).toString(), message);
    EXPECT_TRUE(cell.data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(start->isEnabled());
    typeCell(1, SequenceTableModel::voltage, QStringLiteral("3"));
    EXPECT_EQ(error->text(), QString());
    EXPECT_FALSE(cell.data(Qt::BackgroundRole).isValid());
    EXPECT_TRUE(start->isEnabled());

    // The ceilings apply as everywhere, and a condition without its time limit is marked too.
    model().setCeilings({250, 3000});
    EXPECT_EQ(error->text(), QStringLiteral("step 2: voltage_V exceeds the ceiling of 2.50 V"));
    EXPECT_FALSE(start->isEnabled());
    model().setCeilings({6000, 3000});
    pickChoice(0, SequenceTableModel::until, 1);
    EXPECT_EQ(error->text(), QStringLiteral("step 1: until.current_below_A must be a number from 0 to 30"));
    EXPECT_EQ(table()->model()->index(0, SequenceTableModel::threshold).data(Qt::ToolTipRole).toString(), error->text());
}

TEST_F(AutomationTest, StepsMovedDuplicatedAndDeletedAreSavedInTheirNewOrder) {
    SequenceDialog* dialog = openSequences();
    const QString path = dir_.filePath("order.json");
    chooseFile(dialog, path);
    type(find<QLineEdit>("sequenceNameField"), QStringLiteral("order"));
    for (const char* hold : {"1", "2", "3"}) addRow({"", "", "", 0, hold, 0, ""});
    table()->setFocus();
    table()->setCurrentIndex(table()->model()->index(2, SequenceTableModel::hold));
    QTest::keyClick(table(), Qt::Key_Up, Qt::AltModifier);  // 1 3 2
    QTest::keyClick(table(), Qt::Key_D, Qt::ControlModifier);  // 1 3 3 2
    table()->setCurrentIndex(table()->model()->index(0, SequenceTableModel::hold));
    click("stepDownButton");  // 3 1 3 2
    click("stepDeleteButton");  // 3 3 2
    find<QAction>("sequenceSaveAction")->trigger();
    waitForNotice(QStringLiteral("已保存：") + path);
    const auto saved = SequenceProfile::parse(readFile(path).toStdString());
    ASSERT_EQ(saved.steps.size(), 3u);
    EXPECT_EQ(saved.steps[0].hold, std::chrono::seconds(3));
    EXPECT_EQ(saved.steps[1].hold, std::chrono::seconds(3));
    EXPECT_EQ(saved.steps[2].hold, std::chrono::seconds(2));
}

TEST_F(AutomationTest, OpeningAndSavingTheExamplesKeepsTheirProfiles) {
    SequenceDialog* dialog = openSequences();
    const QDir examples(qEnvironmentVariable("VAREK_EXAMPLES_DIR"));
    const QStringList names = examples.entryList({QStringLiteral("*.json")});
    ASSERT_FALSE(names.isEmpty());
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        dialog->loadFile(examples.filePath(name));
        waitForNotice(QStringLiteral("已打开：") + examples.filePath(name));
        chooseFile(dialog, dir_.filePath(name));
        find<QAction>("sequenceSaveAsAction")->trigger();
        waitForNotice(QStringLiteral("已保存：") + dir_.filePath(name));
        EXPECT_EQ(SequenceProfile::parse(readFile(dir_.filePath(name)).toStdString()),
                  SequenceProfile::parse(readFile(examples.filePath(name)).toStdString()));
    }
}

TEST_F(AutomationTest, ARunningSequenceShowsOnTheDashboardAndOverItsPlan) {
    connectSupply();
    model().setRefreshRate(10);
    SequenceDialog* dialog = openSequences();
    const QString path = dir_.filePath("long.json");
    // Four steps: a switch-on, a ramp, a hold with an end condition (never met: the
    // limit is 1 A) and a ramp down that the stop below never reaches.
    writeFile(path, R"({"name":"软启动老化","on_end":"off","steps":[)"
                    R"({"voltage_V":5,"current_limit_A":1,"output":true,"hold_s":2},)"
                    R"({"voltage_V":8,"ramp_s":3,"hold_s":2},)"
                    R"({"hold_s":40,"until":{"current_above_A":5}},)"
                    R"({"voltage_V":0,"ramp_s":3}]})");
    dialog->loadFile(path);
    waitForNotice(QStringLiteral("已打开：") + path);
    EXPECT_EQ(find<QLabel>("sequenceTotal")->text(), QStringLiteral("计划总时长 50 s（最长）"));
    saveShot(dialog, "sequence-editor.png");
    click("sequenceStartButton");
    auto* line = find<QLabel>("sequenceLine");
    ASSERT_TRUE(waitFor([&] {
        const auto live = model().liveSequenceProgress();
        return line->isVisible() && live && live->step == 3 && live->stepElapsed > 3;
    })) << line->text().toStdString();
    EXPECT_TRUE(line->text().contains(QRegularExpression(QStringLiteral("^序列「软启动老化」 · 步骤 3/4 · \\d+:\\d\\d$"))))
        << line->text().toStdString();
    EXPECT_TRUE(table()->model()->index(2, 0).data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(table()->model()->index(1, 0).data(Qt::BackgroundRole).isValid());
    EXPECT_FALSE(find<QPushButton>("stepAddButton")->isEnabled());
    EXPECT_TRUE(find<QLabel>("sequenceProgress")->text().startsWith(QStringLiteral("步骤 3/4 · 本步 ")));
    saveShot(dialog, "sequence-running.png");
    saveShot(&window(), "sequence-dashboard.png");

    click("sequenceStopButton");
    auto* state = find<QLabel>("sequenceState");
    ASSERT_TRUE(waitFor([&] { return state->text() == QStringLiteral("上次运行：已停止"); })) << state->text().toStdString();
    ASSERT_TRUE(waitFor([&] { return !line->isVisible(); }));
    EXPECT_EQ(sim_->reg(18), 0);  // "on_end": "off"
    EXPECT_TRUE(find<QPushButton>("stepAddButton")->isEnabled());
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
