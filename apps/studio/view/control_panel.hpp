#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class PowerModel;

/// Setpoint fields bound to the drafts, the apply button and the output switch.
class ControlPanel : public QWidget {
public:
    static constexpr int fixedWidth = 285;

    ControlPanel(PowerModel& model, QWidget* parent = nullptr);
    void sync();

private:
    QWidget* buildSetpoint(const QString& title, const QString& unit, const QString& range, QLineEdit*& field,
                           const char* objectName);
    void switchOutput();

    PowerModel& model_;
    QWidget* voltageBlock_ = nullptr;
    QWidget* currentBlock_ = nullptr;
    QLineEdit* voltageField_ = nullptr;
    QLineEdit* currentField_ = nullptr;
    QPushButton* applyButton_ = nullptr;
    QLabel* outputState_ = nullptr;
    QPushButton* outputButton_ = nullptr;
};

}  // namespace varek
