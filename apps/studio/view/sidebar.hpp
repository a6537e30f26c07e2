#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QComboBox;
class QLayout;
class QLabel;
class QLineEdit;
class QPushButton;

namespace varek {

class SupplyModel;

namespace ui {
class ButtonSpinner;
}

/// A serial device path as the port picker shows it: without the device-directory prefix.
QString portDisplayName(const QString& path);

/// The left column: brand, navigation, connection settings, API block, device card.
class Sidebar : public QWidget {
public:
    static constexpr int fixedWidth = 246;

    Sidebar(SupplyModel& model, QWidget* parent = nullptr);
    /// Brings every control in line with the model.
    void sync();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* buildBrand();
    QWidget* buildNavigation();
    QWidget* buildConnectionCard();
    QLayout* buildPortRow();
    QLayout* buildLineRow();
    QWidget* buildApiBlock();
    QWidget* buildDeviceCard();
    void syncPorts();
    void syncConnectButton();
    void toggleConnection();
    void copyToken();

    SupplyModel& model_;
    QComboBox* portPicker_ = nullptr;
    QPushButton* refreshPortsButton_ = nullptr;
    QComboBox* baudPicker_ = nullptr;
    QLineEdit* stationField_ = nullptr;
    QComboBox* ratePicker_ = nullptr;
    QLabel* measuredRate_ = nullptr;
    QPushButton* connectButton_ = nullptr;
    ui::ButtonSpinner* spinner_ = nullptr;
    QLabel* apiState_ = nullptr;
    QLabel* firmware_ = nullptr;
    QStringList shownPorts_;
    bool portsShown_ = false;
};

}  // namespace varek
