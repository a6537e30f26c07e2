#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class SupplyModel;
class SequenceWatch;

/// Setpoint fields bound to the drafts, the apply button and the output switch; while a
/// sequence runs, a line with its name, step and elapsed time.
class ControlPanel : public QWidget {
public:
    static constexpr int fixedWidth = 285;

    ControlPanel(SupplyModel& model, QWidget* parent = nullptr);
    void sync();

private:
    QWidget* buildSetpoint(const QString& title, const QString& unit, const QString& range, QLineEdit*& field,
                           const char* objectName);
    void switchOutput();
    void syncSequenceLine();

    SupplyModel& model_;
    QWidget* voltageBlock_ = nullptr;
    QWidget* currentBlock_ = nullptr;
    QLineEdit* voltageField_ = nullptr;
    QLineEdit* currentField_ = nullptr;
    QPushButton* applyButton_ = nullptr;
    QLabel* outputState_ = nullptr;
    QPushButton* outputButton_ = nullptr;
    QLabel* sequenceLine_ = nullptr;
    SequenceWatch* watch_ = nullptr;
};

}  // namespace varek
