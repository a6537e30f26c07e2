#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include "bench_nav.hpp"

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
/// Without a model (the bench's overview) only brand and navigation.
class Sidebar : public QWidget {
public:
    static constexpr int fixedWidth = 246;

    /// `bench` (optional) lists its supplies under "工作台"; `actions` are its navigation's.
    Sidebar(SupplyModel* model, Bench* bench = nullptr, BenchNavigation::Actions actions = {},
            QWidget* parent = nullptr);
    /// The navigation under "工作台", when a bench is shown.
    BenchNavigation* navigation() const { return navigation_; }
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

    SupplyModel* model_;
    Bench* bench_;
    BenchNavigation::Actions actions_;
    BenchNavigation* navigation_ = nullptr;
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
    QLabel* serial_ = nullptr;
    QWidget* localRows_ = nullptr;
    QWidget* serverRow_ = nullptr;
    QLabel* serverUrl_ = nullptr;
    QLabel* routeLine_ = nullptr;
    QLabel* lineLabel_ = nullptr;
    QPushButton* copyToken_ = nullptr;
    QStringList shownPorts_;
    bool portsShown_ = false;
};

}  // namespace varek
