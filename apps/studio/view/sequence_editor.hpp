#pragma once

#include <QWidget>

#include <string>

#include "sequence_draft.hpp"
#include "varek/safety_ceilings.hpp"
#include "varek/sequence_profile.hpp"

class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;

namespace varek {

class SequenceTableModel;

/// The step editor: the profile's name and end behaviour, a table with one row a step,
/// and the buttons and keys that add, insert, duplicate, delete and move steps. Every
/// edit is validated at once with the profile's own rules against the ceilings: the
/// refused cell is marked and the message shown under the table.
class SequenceEditor : public QWidget {
    Q_OBJECT

public:
    /// An empty profile, validated against the supply's own limits.
    explicit SequenceEditor(QWidget* parent = nullptr);

    /// The profile as edited now.
    ProfileDraft draft() const;
    /// Shows `draft` in place of the current one, then validates it.
    void setDraft(const ProfileDraft& draft);
    /// Validates again under new ceilings.
    void setCeilings(const SafetyCeilings& ceilings);
    /// The profile text of the draft as last validated (what is saved and started).
    const std::string& text() const { return text_; }
    /// The outcome of the last validation.
    const ProfileCheck& check() const { return check_; }
    /// While locked (a run of this profile is going) nothing can be edited.
    void setLocked(bool locked);
    /// Highlights row `row` (the running step); -1 for none.
    void setCurrentStep(int row);
    /// The table, for keyboard focus and tests.
    QTableView* table() const { return table_; }

signals:
    /// The draft changed and was validated; text() and check() are up to date.
    void validated();

private:
    QWidget* buildHeader();
    QWidget* buildStepButtons();
    void addStepAction(QLayout* row, const QString& text, const char* name, const QKeySequence& keys,
                       void (SequenceEditor::*slot)());
    void revalidate();
    void showRefusal(const ProfileRefusal* refusal);
    int currentRow() const;
    void selectRow(int row);
    void addStep();
    void insertStep();
    void duplicateStep();
    void deleteStep();
    void moveUp();
    void moveDown();

    QLineEdit* name_;
    QComboBox* onEnd_;
    QTableView* table_;
    SequenceTableModel* model_;
    QLabel* error_;
    QList<QWidget*> stepButtons_;
    SafetyCeilings ceilings_;
    std::string text_;
    ProfileCheck check_;
    bool loading_ = false;  // setDraft validates once, after every part is set
};

}  // namespace varek
