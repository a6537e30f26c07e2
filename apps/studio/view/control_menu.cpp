#include "control_menu.hpp"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

#include "supply_model.hpp"
#include "sequence_dialog.hpp"
#include "varek/format.hpp"

namespace varek {
namespace {

QString presetText(const SupplyModel::Preset& preset) {
    return preset.name + QStringLiteral("  ·  ") + QString::fromStdString(formatFixed2(preset.voltage / 100.0)) +
           QStringLiteral(" V / ") + QString::fromStdString(formatFixed2(preset.current / 100.0)) + QStringLiteral(" A");
}

// A non-blocking input dialog that deletes itself once answered.
QInputDialog* inputDialog(QWidget* parent, const char* objectName, const QString& title, const QString& label) {
    auto* dialog = new QInputDialog(parent);
    dialog->setObjectName(QString::fromUtf8(objectName));
    dialog->setWindowTitle(title);
    dialog->setLabelText(label);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    return dialog;
}

void askCeiling(QWidget* parent, SupplyModel& model, bool voltage) {
    auto* dialog = inputDialog(parent, voltage ? "voltageCeilingDialog" : "currentCeilingDialog",
                               voltage ? QStringLiteral("电压上限") : QStringLiteral("电流上限"),
                               voltage ? QStringLiteral("最高电压设定 (V)") : QStringLiteral("最高电流设定 (A)"));
    dialog->setInputMode(QInputDialog::DoubleInput);
    dialog->setDoubleDecimals(2);
    dialog->setDoubleRange(0, voltage ? Supply::voltageMax : Supply::currentMax);
    dialog->setDoubleValue(voltage ? model.ceilings().voltage() : model.ceilings().current());
    QObject::connect(dialog, &QInputDialog::doubleValueSelected, &model, [&model, voltage](double value) {
        SafetyCeilings ceilings = model.ceilings();
        (voltage ? ceilings.voltageCenti : ceilings.currentCenti) = static_cast<std::uint16_t>(std::lround(value * 100));
        model.setCeilings(ceilings);
    });
    dialog->open();
}

void fillRecallMenu(QMenu& menu, SupplyModel& model) {
    menu.clear();
    for (const auto& preset : model.presets()) {
        QAction* recall = menu.addAction(presetText(preset));
        recall->setData(preset.name);
        QObject::connect(recall, &QAction::triggered, &model, [&model, name = preset.name] { model.recallPreset(name); });
    }
    menu.setEnabled(!model.presets().empty());
}

void showDialog(QDialog* dialog) {
    dialog->show();
    dialog->raise();
}

}  // namespace

PresetsDialog::PresetsDialog(SupplyModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    setObjectName(QStringLiteral("presetsDialog"));
    setWindowTitle(QStringLiteral("管理预设"));
    auto* layout = new QVBoxLayout(this);
    list_ = new QListWidget;
    list_->setObjectName(QStringLiteral("presetList"));
    layout->addWidget(list_);
    auto* buttons = new QHBoxLayout;
    rename_ = new QPushButton(QStringLiteral("重命名…"));
    rename_->setObjectName(QStringLiteral("renamePresetButton"));
    remove_ = new QPushButton(QStringLiteral("删除"));
    remove_->setObjectName(QStringLiteral("deletePresetButton"));
    buttons->addStretch();
    buttons->addWidget(rename_);
    buttons->addWidget(remove_);
    layout->addLayout(buttons);
    QObject::connect(rename_, &QPushButton::clicked, this, &PresetsDialog::renameSelected);
    QObject::connect(remove_, &QPushButton::clicked, this, &PresetsDialog::deleteSelected);
    QObject::connect(list_, &QListWidget::currentRowChanged, this, [this] {
        rename_->setEnabled(!selected().isEmpty());
        remove_->setEnabled(!selected().isEmpty());
    });
    QObject::connect(&model_, &SupplyModel::changed, this, [this](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::presets) sync();
    });
    sync();
}

QString PresetsDialog::selected() const {
    const QListWidgetItem* item = list_->currentItem();
    return item ? item->data(Qt::UserRole).toString() : QString();
}

void PresetsDialog::sync() {
    const QString keep = selected();
    list_->clear();
    for (const auto& preset : model_.presets()) {
        auto* item = new QListWidgetItem(presetText(preset), list_);
        item->setData(Qt::UserRole, preset.name);
        if (preset.name == keep) list_->setCurrentItem(item);
    }
    rename_->setEnabled(!selected().isEmpty());
    remove_->setEnabled(!selected().isEmpty());
}

void PresetsDialog::renameSelected() {
    const QString from = selected();
    if (from.isEmpty()) return;
    auto* dialog = inputDialog(this, "presetRenameDialog", QStringLiteral("重命名预设"), QStringLiteral("新名称"));
    dialog->setTextValue(from);
    QObject::connect(dialog, &QInputDialog::textValueSelected, &model_,
                     [model = &model_, from](const QString& to) { model->renamePreset(from, to); });
    dialog->open();
}

void PresetsDialog::deleteSelected() {
    const QString name = selected();
    if (!name.isEmpty()) model_.deletePreset(name);
}

QMenu* controlMenu(QMainWindow& window, SupplyModel& model) {
    auto* control = new QMenu(QStringLiteral("控制"), &window);
    control->setObjectName(QStringLiteral("controlMenu"));
    auto* sequences = new SequenceDialog(model, &window);
    auto* presets = new PresetsDialog(model, &window);
    QAction* sequence = control->addAction(QStringLiteral("序列…"));
    sequence->setObjectName(QStringLiteral("sequenceAction"));
    QObject::connect(sequence, &QAction::triggered, sequences, [sequences] { showDialog(sequences); });
    control->addSeparator();

    QAction* save = control->addAction(QStringLiteral("保存当前设定为预设…"));
    save->setObjectName(QStringLiteral("savePresetAction"));
    QObject::connect(save, &QAction::triggered, &window, [&window, &model] {
        auto* dialog = inputDialog(&window, "presetNameDialog", QStringLiteral("保存预设"), QStringLiteral("预设名称"));
        QObject::connect(dialog, &QInputDialog::textValueSelected, &model,
                         [&model](const QString& name) { model.savePreset(name); });
        dialog->open();
    });
    QMenu* recall = control->addMenu(QStringLiteral("调用预设"));
    recall->setObjectName(QStringLiteral("recallPresetMenu"));
    fillRecallMenu(*recall, model);
    QObject::connect(&model, &SupplyModel::changed, recall, [recall, &model](SupplyModel::Changes what) {
        if (what & SupplyModel::Change::presets) fillRecallMenu(*recall, model);
    });
    QAction* manage = control->addAction(QStringLiteral("管理预设…"));
    manage->setObjectName(QStringLiteral("managePresetsAction"));
    QObject::connect(manage, &QAction::triggered, presets, [presets] { showDialog(presets); });
    control->addSeparator();

    QAction* voltage = control->addAction(QStringLiteral("电压上限…"));
    voltage->setObjectName(QStringLiteral("voltageCeilingAction"));
    QObject::connect(voltage, &QAction::triggered, &window, [&window, &model] { askCeiling(&window, model, true); });
    QAction* current = control->addAction(QStringLiteral("电流上限…"));
    current->setObjectName(QStringLiteral("currentCeilingAction"));
    QObject::connect(current, &QAction::triggered, &window, [&window, &model] { askCeiling(&window, model, false); });
    return control;
}

}  // namespace varek
