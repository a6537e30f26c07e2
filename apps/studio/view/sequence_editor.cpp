#include "sequence_editor.hpp"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "palette.hpp"
#include "sequence_table.hpp"
#include "widgets.hpp"

namespace varek {
namespace {

/// The column that shows a refused step field; -1 for a field the table has no cell for.
int columnOf(const std::string& field) {
    if (field == "voltage_V") return SequenceTableModel::voltage;
    if (field == "current_limit_A") return SequenceTableModel::current;
    if (field == "ramp_s") return SequenceTableModel::ramp;
    if (field == "output") return SequenceTableModel::output;
    if (field == "hold_s") return SequenceTableModel::hold;
    if (field == "until") return SequenceTableModel::until;
    if (field.starts_with("until.")) return SequenceTableModel::threshold;
    return -1;
}

}  // namespace

SequenceEditor::SequenceEditor(QWidget* parent)
    : QWidget(parent), table_(new QTableView), model_(new SequenceTableModel(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buildHeader());
    layout->addWidget(buildStepButtons());

    table_->setObjectName(QStringLiteral("sequenceTable"));
    table_->setModel(model_);
    table_->setItemDelegate(new SequenceStepDelegate(table_));
    table_->setSelectionBehavior(QAbstractItemView::SelectItems);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                            QAbstractItemView::AnyKeyPressed);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table_->verticalHeader()->setDefaultSectionSize(26);
    table_->setMinimumHeight(160);
    layout->addWidget(table_, 1);

    error_ = ui::label(QString(), ui::font(12), palette::alarm());
    error_->setObjectName(QStringLiteral("sequenceError"));
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(error_);

    QObject::connect(model_, &SequenceTableModel::edited, this, [this] {
        if (!loading_) revalidate();
    });
    revalidate();
}

QWidget* SequenceEditor::buildHeader() {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(ui::label(QStringLiteral("名称"), ui::font(12), palette::muted()));
    name_ = new QLineEdit;
    name_->setObjectName(QStringLiteral("sequenceNameField"));
    name_->setPlaceholderText(QStringLiteral("配置名称"));
    row->addWidget(name_, 1);
    onEnd_ = new QComboBox;
    onEnd_->setObjectName(QStringLiteral("sequenceEndChoice"));
    onEnd_->addItems({QStringLiteral("结束时保持输出"), QStringLiteral("结束时关闭输出")});
    row->addWidget(onEnd_);
    QObject::connect(name_, &QLineEdit::textEdited, this, [this] { revalidate(); });
    QObject::connect(onEnd_, &QComboBox::currentIndexChanged, this, [this] {
        if (!loading_) revalidate();
    });
    return header;
}

QWidget* SequenceEditor::buildStepButtons() {
    auto* bar = new QWidget;
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    addStepAction(row, QStringLiteral("添加"), "stepAddButton", QKeySequence(Qt::CTRL | Qt::Key_Return),
                  &SequenceEditor::addStep);
    addStepAction(row, QStringLiteral("插入"), "stepInsertButton", QKeySequence(Qt::Key_Insert),
                  &SequenceEditor::insertStep);
    addStepAction(row, QStringLiteral("复制"), "stepDuplicateButton", QKeySequence(Qt::CTRL | Qt::Key_D),
                  &SequenceEditor::duplicateStep);
    addStepAction(row, QStringLiteral("删除"), "stepDeleteButton", QKeySequence(Qt::Key_Delete),
                  &SequenceEditor::deleteStep);
    addStepAction(row, QStringLiteral("上移"), "stepUpButton", QKeySequence(Qt::ALT | Qt::Key_Up),
                  &SequenceEditor::moveUp);
    addStepAction(row, QStringLiteral("下移"), "stepDownButton", QKeySequence(Qt::ALT | Qt::Key_Down),
                  &SequenceEditor::moveDown);
    row->addStretch();
    return bar;
}

void SequenceEditor::addStepAction(QLayout* row, const QString& text, const char* name, const QKeySequence& keys,
                                   void (SequenceEditor::*slot)()) {
    // The keys act while the table (or a cell's editor) has the focus; a cell's line
    // editor keeps Delete and Insert for its own text.
    auto* action = new QAction(text, table_);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    table_->addAction(action);
    QObject::connect(action, &QAction::triggered, this, slot);
    auto* button = new QPushButton(text);
    button->setObjectName(QString::fromUtf8(name));
    button->setToolTip(text + QStringLiteral(" (") + keys.toString(QKeySequence::NativeText) + QStringLiteral(")"));
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    row->addWidget(button);
    stepButtons_ << button;
}

ProfileDraft SequenceEditor::draft() const {
    return {name_->text().toStdString(), onEnd_->currentIndex() == 1, model_->steps()};
}

void SequenceEditor::setDraft(const ProfileDraft& draft) {
    loading_ = true;
    name_->setText(QString::fromStdString(draft.name));
    onEnd_->setCurrentIndex(draft.offAtEnd ? 1 : 0);
    model_->setSteps(draft.steps);
    loading_ = false;
    revalidate();
    selectRow(draft.steps.empty() ? -1 : 0);
}

void SequenceEditor::setCeilings(const SafetyCeilings& ceilings) {
    if (ceilings == ceilings_) return;
    ceilings_ = ceilings;
    revalidate();
}

void SequenceEditor::setLocked(bool locked) {
    model_->setLocked(locked);
    name_->setReadOnly(locked);
    onEnd_->setEnabled(!locked);
    for (QWidget* button : stepButtons_) button->setEnabled(!locked);
    for (QAction* action : table_->actions()) action->setEnabled(!locked);
}

void SequenceEditor::setCurrentStep(int row) { model_->setCurrentStep(row); }

void SequenceEditor::revalidate() {
    text_ = draft().text();
    check_ = SequenceProfile::check(text_, ceilings_);
    showRefusal(std::get_if<ProfileRefusal>(&check_));
    emit validated();
}

void SequenceEditor::showRefusal(const ProfileRefusal* refusal) {
    ui::setTextIfChanged(error_, refusal ? QString::fromStdString(refusal->message) : QString());
    const bool badName = refusal && refusal->field == "name";
    name_->setStyleSheet(badName ? QStringLiteral("QLineEdit { border: 1px solid %1; }").arg(palette::css(palette::alarm()))
                                 : QString());
    name_->setToolTip(badName ? QString::fromStdString(refusal->message) : QString());
    if (refusal && refusal->step) {
        model_->setMark(static_cast<int>(*refusal->step), columnOf(refusal->field),
                        QString::fromStdString(refusal->message));
    } else {
        model_->setMark(-1, -1, {});
    }
}

int SequenceEditor::currentRow() const {
    const QModelIndex current = table_->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void SequenceEditor::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    const int column = std::max(table_->currentIndex().column(), 0);
    table_->setCurrentIndex(model_->index(row, column));
}

void SequenceEditor::addStep() {
    const int row = model_->rowCount();
    model_->insertStep(row);
    selectRow(row);
}

void SequenceEditor::insertStep() {
    const int row = std::max(currentRow(), 0);
    model_->insertStep(row);
    selectRow(row);
}

void SequenceEditor::duplicateStep() {
    const int row = currentRow();
    if (row < 0) return;
    model_->insertStep(row + 1, model_->steps()[static_cast<std::size_t>(row)]);
    selectRow(row + 1);
}

void SequenceEditor::deleteStep() {
    const int row = currentRow();
    if (row < 0) return;
    model_->removeStep(row);
    selectRow(std::min(row, model_->rowCount() - 1));
}

void SequenceEditor::moveUp() {
    const int row = currentRow();
    if (model_->moveStep(row, -1)) selectRow(row - 1);
}

void SequenceEditor::moveDown() {
    const int row = currentRow();
    if (model_->moveStep(row, +1)) selectRow(row + 1);
}

}  // namespace varek
