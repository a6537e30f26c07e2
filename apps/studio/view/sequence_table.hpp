#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

#include <vector>

#include "sequence_draft.hpp"

namespace varek {

/// The editor's rows as a table: one step a row, one field a column. Edits change the
/// draft's text cells; a marked cell carries the validation message.
class SequenceTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    /// The columns, in the order shown.
    enum Column { voltage, current, ramp, output, hold, until, threshold, columnTotal };

    explicit SequenceTableModel(QObject* parent = nullptr);

    /// The rows as they stand.
    const std::vector<StepDraft>& steps() const { return steps_; }
    /// Replaces every row.
    void setSteps(std::vector<StepDraft> steps);
    /// Inserts `step` before row `row` (rowCount() appends).
    void insertStep(int row, const StepDraft& step = {});
    /// Removes row `row`.
    void removeStep(int row);
    /// Moves row `row` one place up (-1) or down (+1); false when it cannot.
    bool moveStep(int row, int direction);
    /// Marks cell `row`, `column` with `message` (a tooltip and a colour); row -1 marks none.
    void setMark(int row, int column, const QString& message);
    /// Highlights the running step's row; -1 for none.
    void setCurrentStep(int row);
    /// While locked no cell can be edited.
    void setLocked(bool locked);

    /// The texts of the output and condition choices, in enum order.
    static const QStringList& outputChoices();
    static const QStringList& untilChoices();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    /// The rows changed by an edit or a row operation.
    void edited();

private:
    QString cellText(const StepDraft& step, int column) const;
    void refreshRow(int row);

    std::vector<StepDraft> steps_;
    int markRow_ = -1;
    int markColumn_ = -1;
    QString markMessage_;
    int currentRow_ = -1;
    bool locked_ = false;
};

/// Edits the output and condition columns with a list of choices, committed as picked.
class SequenceStepDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override;
};

}  // namespace varek
