#pragma once

#include <QDialog>

class QListWidget;
class QMainWindow;
class QMenu;
class QPushButton;

namespace varek {

class SupplyModel;
class SequenceDialog;

/// "管理预设…": the stored presets, renamed or deleted in place.
class PresetsDialog : public QDialog {
public:
    /// Lists `model`'s presets and follows their changes; hidden until shown.
    explicit PresetsDialog(SupplyModel& model, QWidget* parent = nullptr);

private:
    void sync();
    void renameSelected();
    void deleteSelected();
    QString selected() const;

    SupplyModel& model_;
    QListWidget* list_;
    QPushButton* rename_;
    QPushButton* remove_;
};

/// The "控制" menu of `model`: the sequence window, the presets and the two ceilings.
/// Its dialogs belong to `window`; every one opens without blocking and is found by
/// its object name. The window shows the selected supply's menu.
QMenu* controlMenu(QMainWindow& window, SupplyModel& model);

}  // namespace varek
