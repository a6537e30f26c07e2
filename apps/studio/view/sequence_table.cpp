#include "sequence_table.hpp"

#include <QComboBox>

#include <algorithm>

#include "palette.hpp"

namespace varek {
namespace {

bool isChoice(int column) { return column == SequenceTableModel::output || column == SequenceTableModel::until; }

// The text cell of `column` (const or not); none for the two choice columns.
template <class Step>
auto textCell(Step& step, int column) -> decltype(&step.voltage) {
    switch (column) {
    case SequenceTableModel::voltage: return &step.voltage;
    case SequenceTableModel::current: return &step.current;
    case SequenceTableModel::ramp: return &step.ramp;
    case SequenceTableModel::hold: return &step.hold;
    case SequenceTableModel::threshold: return &step.threshold;
    default: return nullptr;
    }
}

QString unitOf(StepDraft::Until until) {
    switch (until) {
    case StepDraft::Until::none: return {};
    case StepDraft::Until::currentBelow:
    case StepDraft::Until::currentAbove: return QStringLiteral(" A");
    default: return QStringLiteral(" V");
    }
}

}  // namespace

SequenceTableModel::SequenceTableModel(QObject* parent) : QAbstractTableModel(parent) {}

const QStringList& SequenceTableModel::outputChoices() {
    static const QStringList choices{QStringLiteral("不变"), QStringLiteral("开启"), QStringLiteral("关闭")};
    return choices;
}

const QStringList& SequenceTableModel::untilChoices() {
    static const QStringList choices{QStringLiteral("无"), QStringLiteral("电流低于"), QStringLiteral("电流高于"),
                                     QStringLiteral("电压低于"), QStringLiteral("电压高于")};
    return choices;
}

void SequenceTableModel::setSteps(std::vector<StepDraft> steps) {
    beginResetModel();
    steps_ = std::move(steps);
    endResetModel();
    emit edited();
}

void SequenceTableModel::insertStep(int row, const StepDraft& step) {
    row = std::clamp(row, 0, rowCount());
    beginInsertRows({}, row, row);
    steps_.insert(steps_.begin() + row, step);
    endInsertRows();
    // The numbers in the row header after it move along.
    emit headerDataChanged(Qt::Vertical, row, rowCount() - 1);
    emit edited();
}

void SequenceTableModel::removeStep(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    steps_.erase(steps_.begin() + row);
    endRemoveRows();
    if (row < rowCount()) emit headerDataChanged(Qt::Vertical, row, rowCount() - 1);
    emit edited();
}

bool SequenceTableModel::moveStep(int row, int direction) {
    const int to = row + direction;
    if (row < 0 || row >= rowCount() || to < 0 || to >= rowCount() || direction == 0) return false;
    // Qt's destination is the row the moved one lands before, counted before the move.
    beginMoveRows({}, row, row, {}, direction > 0 ? to + 1 : to);
    std::swap(steps_[static_cast<std::size_t>(row)], steps_[static_cast<std::size_t>(to)]);
    endMoveRows();
    emit edited();
    return true;
}

void SequenceTableModel::setMark(int row, int column, const QString& message) {
    if (row == markRow_ && column == markColumn_ && message == markMessage_) return;
    const int old = markRow_;
    markRow_ = row;
    markColumn_ = column;
    markMessage_ = message;
    refreshRow(old);
    refreshRow(row);
}

void SequenceTableModel::setCurrentStep(int row) {
    if (row == currentRow_) return;
    const int old = currentRow_;
    currentRow_ = row;
    refreshRow(old);
    refreshRow(row);
}

void SequenceTableModel::setLocked(bool locked) { locked_ = locked; }

void SequenceTableModel::refreshRow(int row) {
    if (row >= 0 && row < rowCount()) emit dataChanged(index(row, 0), index(row, columnTotal - 1));
}

int SequenceTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(steps_.size());
}

int SequenceTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnTotal; }

QString SequenceTableModel::cellText(const StepDraft& step, int column) const {
    if (column == output) return outputChoices().at(static_cast<int>(step.output));
    if (column == until) return untilChoices().at(static_cast<int>(step.until));
    if (column == threshold) {
        if (step.until == StepDraft::Until::none) return {};
        return step.threshold.empty() ? QStringLiteral("—") : QString::fromStdString(step.threshold) + unitOf(step.until);
    }
    const std::string& text = *textCell(step, column);
    return text.empty() ? QStringLiteral("—") : QString::fromStdString(text);
}

QVariant SequenceTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const StepDraft& step = steps_[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    const bool marked = index.row() == markRow_ && column == markColumn_;
    switch (role) {
    case Qt::DisplayRole: return cellText(step, column);
    case Qt::EditRole:
        if (column == output) return static_cast<int>(step.output);
        if (column == until) return static_cast<int>(step.until);
        return QString::fromStdString(*textCell(step, column));
    case Qt::ToolTipRole: return marked ? QVariant(markMessage_) : QVariant();
    case Qt::BackgroundRole:
        if (marked) return palette::faded(palette::alarm(), 0.22);
        if (index.row() == currentRow_) return palette::faded(palette::current(), 0.18);
        return {};
    case Qt::ForegroundRole:
        if (marked) return palette::alarm();
        if (cellText(step, column) == QStringLiteral("—")) return palette::muted();
        return {};
    case Qt::TextAlignmentRole:
        return static_cast<int>((isChoice(column) ? Qt::AlignHCenter : Qt::AlignRight) | Qt::AlignVCenter);
    default: return {};
    }
}

bool SequenceTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole || locked_) return false;
    StepDraft& step = steps_[static_cast<std::size_t>(index.row())];
    const int column = index.column();
    if (column == output) {
        const int choice = std::clamp(value.toInt(), 0, static_cast<int>(outputChoices().size()) - 1);
        if (choice == static_cast<int>(step.output)) return true;
        step.output = static_cast<StepDraft::Output>(choice);
    } else if (column == until) {
        const int choice = std::clamp(value.toInt(), 0, static_cast<int>(untilChoices().size()) - 1);
        if (choice == static_cast<int>(step.until)) return true;
        step.until = static_cast<StepDraft::Until>(choice);
    } else {
        const std::string text = value.toString().trimmed().toStdString();
        std::string* cell = textCell(step, column);
        if (*cell == text) return true;
        *cell = text;
    }
    refreshRow(index.row());
    emit edited();
    return true;
}

Qt::ItemFlags SequenceTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    const Qt::ItemFlags base = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    return locked_ ? base : base | Qt::ItemIsEditable;
}

QVariant SequenceTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return QAbstractTableModel::headerData(section, orientation, role);
    if (orientation == Qt::Vertical) return section + 1;
    static const QStringList titles{QStringLiteral("电压 (V)"), QStringLiteral("电流上限 (A)"), QStringLiteral("斜坡 (s)"),
                                    QStringLiteral("输出"),     QStringLiteral("保持 (s)"),     QStringLiteral("结束条件"),
                                    QStringLiteral("条件值")};
    return titles.value(section);
}

QWidget* SequenceStepDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                            const QModelIndex& index) const {
    if (!isChoice(index.column())) return QStyledItemDelegate::createEditor(parent, option, index);
    auto* combo = new QComboBox(parent);
    combo->addItems(index.column() == SequenceTableModel::output ? SequenceTableModel::outputChoices()
                                                                 : SequenceTableModel::untilChoices());
    // A pick is a whole edit: commit it at once rather than when the editor loses focus.
    QObject::connect(combo, &QComboBox::activated, this, [this, combo] {
        // Qt's editor factory is const, its signals are not.
        auto* self = const_cast<SequenceStepDelegate*>(this);
        emit self->commitData(combo);
        emit self->closeEditor(combo);
    });
    return combo;
}

void SequenceStepDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    if (auto* combo = qobject_cast<QComboBox*>(editor)) return combo->setCurrentIndex(index.data(Qt::EditRole).toInt());
    QStyledItemDelegate::setEditorData(editor, index);
}

void SequenceStepDelegate::setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const {
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        model->setData(index, combo->currentIndex(), Qt::EditRole);
        return;
    }
    QStyledItemDelegate::setModelData(editor, model, index);
}

}  // namespace varek
