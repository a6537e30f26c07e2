#pragma once

#include <QWidget>

class QLabel;

namespace varek {

class SupplyModel;
struct PowerSample;

namespace ui {
class Dot;
class Pill;
}  // namespace ui

/// Title, status line and the mode, protection and connection pills.
class Header : public QWidget {
public:
    explicit Header(QWidget* parent = nullptr);
    void sync(const SupplyModel& model);

private:
    QLabel* notice_;
    ui::Pill* modePill_;
    ui::Pill* protectionPill_;
    ui::Pill* connectionPill_;
};

/// The three live value tiles: voltage, current and power.
class Readouts : public QWidget {
public:
    explicit Readouts(QWidget* parent = nullptr);
    /// `live` is null without a live sample.
    void sync(const PowerSample* live);

private:
    struct Tile {
        QLabel* value;
        QLabel* status;
        ui::Dot* dot;
    };
    QWidget* buildTile(int index);
    Tile tiles_[3]{};
};

}  // namespace varek
